// The platform layer's contract, built once against each implementation
// this system has (tests/cpp/CMakeLists.txt): Linux's own calls and the
// portable ones must behave alike wherever the callers can tell.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "platform/platform.hpp"

namespace korrin::platform {
namespace {

namespace fs = std::filesystem;

// A fresh directory, open, removed with what it holds at the end.
struct TempDir {
    fs::path path;
    Handle fd = kNoHandle;
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "korrin-platform-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
        fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    ~TempDir() {
        ::close(fd);
        fs::remove_all(path);
    }
    std::set<std::string> names() const {
        std::set<std::string> found;
        for (const auto& entry : fs::directory_iterator(path)) found.insert(entry.path().filename().string());
        return found;
    }
    void write(const char* name, const std::string& text) const {
        const int file = ::openat(fd, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(file, 0);
        ASSERT_EQ(::write(file, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ::close(file);
    }
    std::string read(const char* name) const {
        std::string text(64, '\0');
        const int file = ::openat(fd, name, O_RDONLY | O_CLOEXEC);
        const ssize_t got = file < 0 ? -1 : ::read(file, text.data(), text.size());
        ::close(file);
        return got < 0 ? "<none>" : text.substr(0, static_cast<std::size_t>(got));
    }
};

TEST(Platform, IsTheImplementationTheBuildChose) { EXPECT_STREQ(name(), KORRIN_EXPECTED_PLATFORM); }

TEST(Platform, TimesAreTheFilesToTheNanosecond) {
    TempDir dir;
    dir.write("a", "x");
    const int file = ::openat(dir.fd, "a", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(file, 0);
    const timespec set[2] = {{1000, 5}, {1'600'000'000, 123'456'789}};  // accessed, modified
    ASSERT_EQ(::futimens(file, set), 0);
    struct stat info;
    ASSERT_EQ(::fstat(file, &info), 0);
    const Times times = times_of(info);
    ::close(file);
    EXPECT_EQ(times.modified_s, 1'600'000'000);
    EXPECT_EQ(times.modified_ns, 123'456'789);
    // The change time is now (futimens changed the inode), not settable.
    const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    EXPECT_LE(std::llabs(times.changed_s - static_cast<std::int64_t>(now)), 60);
    EXPECT_GE(times.changed_ns, 0);
    EXPECT_LT(times.changed_ns, 1'000'000'000);
}

TEST(Platform, ReadAtReadsWhereAskedAndLeavesThePosition) {
    TempDir dir;
    dir.write("a", "0123456789");
    const int file = ::openat(dir.fd, "a", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(file, 0);
    ASSERT_EQ(::lseek(file, 2, SEEK_SET), 2);
    struct Case {
        std::uint64_t offset;
        std::size_t length;
        std::string expected;
    } cases[] = {{0, 4, "0123"}, {7, 10, "789"}, {10, 4, ""}, {1'000'000, 4, ""}};
    for (const Case& c : cases) {
        std::string got(c.length, '\0');
        const ssize_t n = read_at(file, got.data(), c.length, c.offset);
        ASSERT_GE(n, 0) << c.offset;
        EXPECT_EQ(got.substr(0, static_cast<std::size_t>(n)), c.expected) << c.offset;
    }
    EXPECT_EQ(::lseek(file, 0, SEEK_CUR), 2);
    ::close(file);
    char byte;
    EXPECT_EQ(read_at(kNoHandle, &byte, 1, 0), -1);
    EXPECT_EQ(errno, EBADF);
}

// Either an unnamed file that takes a name once, exclusively, or a refusal
// that says to make a named one instead; never a file that shows.
TEST(Platform, AnUnnamedFileIsInvisibleUntilLinkedAndNeverReplaces) {
    TempDir dir;
    dir.write("taken", "old");
    const Handle file = create_unnamed(dir.fd);
    if (file < 0) {
        EXPECT_TRUE(no_unnamed_files(errno)) << std::strerror(errno);
        EXPECT_EQ(dir.names(), std::set<std::string>{"taken"});
        return;
    }
    ASSERT_EQ(::write(file, "new", 3), 3);
    EXPECT_EQ(dir.names(), std::set<std::string>{"taken"});
    EXPECT_EQ(link_unnamed(file, dir.fd, "taken"), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(link_unnamed(file, dir.fd, "placed"), 0);
    ::close(file);
    EXPECT_EQ(dir.names(), (std::set<std::string>{"placed", "taken"}));
    EXPECT_EQ(dir.read("placed"), "new");
    EXPECT_EQ(dir.read("taken"), "old");
}

TEST(Platform, RenameNoReplaceMovesOnlyOntoAFreeName) {
    TempDir dir;
    dir.write("from", "data");
    dir.write("file", "kept");
    ASSERT_EQ(::symlinkat("nowhere", dir.fd, "link"), 0);
    ASSERT_EQ(::mkdirat(dir.fd, "dir", 0777), 0);
    for (const char* taken : {"file", "link", "dir"}) {
        EXPECT_EQ(rename_no_replace(dir.fd, "from", taken), -1) << taken;
        EXPECT_EQ(errno, EEXIST) << taken;
    }
    EXPECT_EQ(dir.read("file"), "kept");
    EXPECT_EQ(fs::read_symlink(dir.path / "link"), "nowhere");
    EXPECT_EQ(rename_no_replace(dir.fd, "from", "to"), 0);
    EXPECT_EQ(dir.names(), (std::set<std::string>{"dir", "file", "link", "to"}));
    EXPECT_EQ(dir.read("to"), "data");
    EXPECT_EQ(rename_no_replace(dir.fd, "missing", "other"), -1);
    EXPECT_EQ(errno, ENOENT);
}

// Each test runs in a process of its own (gtest_discover_tests), so the
// signals blocked here stay out of the others.
sigset_t user_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGUSR2);
    return set;
}

TEST(Platform, ASignalWatchTimesOutThenSeesDoneFromAnyThread) {
    const auto watch = watch_signals(user_signals());
    ASSERT_NE(watch, nullptr);
    const auto start = std::chrono::steady_clock::now();
    const SignalWatch::Event nothing = watch->wait(50);
    EXPECT_EQ(nothing.signal, 0);
    EXPECT_FALSE(nothing.done);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
    std::thread poster([&] { watch->post_done(); });
    const SignalWatch::Event done = watch->wait(-1);
    poster.join();
    EXPECT_TRUE(done.done);
    EXPECT_EQ(done.signal, 0);
}

TEST(Platform, ASignalWatchTakesTheProcessSignalsItsHandlerNeverSees) {
    // Were the signal delivered to a handler (or by default), the process
    // would end: SIGUSR1's default action.
    const auto watch = watch_signals(user_signals());
    ASSERT_NE(watch, nullptr);
    std::thread sender([] { ::kill(::getpid(), SIGUSR2); });  // a thread started after the watch
    sender.join();
    SignalWatch::Event event;
    for (int i = 0; i < 100 && event.signal == 0; ++i) event = watch->wait(100);
    EXPECT_EQ(event.signal, SIGUSR2);
    // The done event, which stays, hides no signal that comes after it (a
    // thread may take a moment to hand it over: a bounded wait).
    watch->post_done();
    ::kill(::getpid(), SIGUSR1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
        event = watch->wait(100);
    } while (event.signal != SIGUSR1 && std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(event.signal, SIGUSR1);
    EXPECT_TRUE(event.done);
    // The set stays blocked in this thread once the watch is gone.
    sigset_t blocked;
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, nullptr, &blocked), 0);
    EXPECT_EQ(sigismember(&blocked, SIGUSR1), 1);
}

TEST(Platform, RandomBytesDifferEachTime) {
    for (std::size_t length : {std::size_t{8}, std::size_t{1000}}) {
        std::string a(length, '\0'), b(length, '\0');
        ASSERT_TRUE(random_bytes(a.data(), length));
        ASSERT_TRUE(random_bytes(b.data(), length));
        EXPECT_NE(a, b);
        EXPECT_NE(a, std::string(length, '\0'));
    }
}

TEST(Platform, MemoryAndProcessorsAreThereToBeCounted) {
    const std::optional<std::uint64_t> memory = available_memory();
    ASSERT_TRUE(memory.has_value());
    EXPECT_GT(*memory, std::uint64_t{1} << 20);
    EXPECT_GE(usable_processors(), 1u);
    EXPECT_LE(usable_processors(), std::max(1u, std::thread::hardware_concurrency()));
}

}  // namespace
}  // namespace korrin::platform

// Output that appears under its final name complete or not at all.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "cli/sink/place.hpp"
#include "common/bytes.hpp"
#include "common/result.hpp"

namespace korrin::cli {

// Why an output was not written.
struct Unwritten {
    enum class Why {
        Failed,      // with a message
        Stopped,     // the run is being interrupted
        Exists,      // the name was taken before the file could have it: nothing was written; with a message
        BrokenPipe,  // the reader of standard output has gone: end quietly
    };
    Why why;
    std::string message;
};
using WriteResult = Result<void, Unwritten>;

// Writes each output to a temporary file in its own directory and gives it
// its name once complete (a device, FIFO or terminal that a name the user
// gave leads to is written into instead: see Naming). The temporary file
// has no name where the file system allows (O_TMPFILE, then linkat into
// place), so that not even SIGKILL can leave it behind; elsewhere it is
// named ".NAME.tmp-RANDOM", with a fresh random part on every collision, so
// that temporaries left by an earlier run never block a conversion. Each
// writing thread has a slot of its own that holds its named temporary from
// creation to rename, so that `abandon` and a crash handler can remove them
// all; the threads never wait for one another.
class OutputWriter {
  public:
    // Outputs below `root` (when given) are made inside it, through its
    // descriptors; the others are found by their paths, as `naming` says.
    OutputWriter(bool replace_existing, std::size_t slots, Naming naming = Naming::Generated,
                 std::shared_ptr<OutputDir> root = nullptr)
        : replace_existing_(replace_existing), naming_(naming), root_(std::move(root)), slots_(slots) {}
    OutputWriter(const OutputWriter&) = delete;
    OutputWriter& operator=(const OutputWriter&) = delete;

    // Writes `bytes` and gives the result the name `path`; below the root,
    // the folders are made when missing, elsewhere the parent directory
    // must exist. Without `replace_existing`, an existing file at `path`
    // fails the write and stays as it was; a file that is not regular is
    // never replaced. On failure nothing is left behind. No two threads may
    // use one `slot` at the same time.
    WriteResult write(std::size_t slot, const std::filesystem::path& path, ByteView bytes);

    // What is at the output `path` now, as a write would find it.
    Found look(const std::filesystem::path& path) const { return cli::look(path, naming_, root_.get()); }
    Naming naming() const noexcept { return naming_; }

    // Has `arm` called once, in the writing thread, before the first named
    // temporary file comes into being (O_TMPFILE missing, or an existing
    // file replaced): a run without its own signal handling installs the
    // handlers that remove named temporaries there, and only then.
    void on_first_name(void (*arm)(OutputWriter&)) noexcept { arm_ = arm; }

    // Removes every temporary file in flight and stops all further creation
    // and renaming: for an interrupted run, just before the process ends.
    void abandon() noexcept;

    // Removes the named temporaries in flight without taking any lock:
    // async-signal-safe, for a crash handler. A file renamed meanwhile is
    // not touched; the process must end right after.
    void remove_named_temporaries() noexcept;

  private:
    static constexpr std::size_t max_crash_name = 256;  // NAME_MAX and its NUL

    struct Slot {
        std::mutex mutex;  // held across the creation and the rename
        FolderRef folder;  // where `temp` is
        std::string temp;  // the named file in flight, or empty
        // The same for the crash handler, valid while `named` is set.
        std::atomic<bool> named{false};
        std::atomic<int> crash_folder{-1};
        // Set while a new name may appear (see begin_naming).
        std::atomic<bool> naming{false};
        char crash_name[max_crash_name] = {};
    };

    int create_unnamed(Slot& slot, const Place& place);
    int create_named(Slot& slot, const Place& place);
    int link_unnamed(Slot& slot, int fd, const Place& place);
    int rename_temp(Slot& slot, const Place& place);
    bool replaceable(const Place& place);
    static WriteResult write_through(const std::filesystem::path& path, const Place& place, ByteView bytes);
    void set_temp(Slot& slot, const FolderRef& folder, std::string temp) noexcept;
    bool begin_naming(Slot& slot) noexcept;
    void drop_temp(Slot& slot);

    bool replace_existing_;
    Naming naming_;
    std::shared_ptr<OutputDir> root_;
    void (*arm_)(OutputWriter&) = nullptr;
    std::atomic<bool> armed_{false};
    std::atomic<bool> stopped_{false};
    std::atomic<bool> crashing_{false};
    std::vector<Slot> slots_;
};

// The refusal of an output that exists: `shown` (an escaped name) and the
// two ways past it.
std::string exists_message(const std::string& shown);

}  // namespace korrin::cli

#include "input/input_file.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "sphere_builder.hpp"

namespace korrin::input {
namespace {

using test_support::required;

TEST(InputFile, FailuresOfTheSystemCarryTheirErrno) {
    const auto dir = std::filesystem::temp_directory_path() / ("korrin-input-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    struct Case {
        std::filesystem::path path;
        int os_error;
        const char* message;
    };
    const Case cases[] = {
        {dir / "missing.sph", ENOENT, "cannot open: no such file or directory"},
        {dir, EISDIR, "is a directory"},
        {"/dev/null", EINVAL, "not a regular file"},
    };
    for (const Case& c : cases) {
        InputFile file;
        const Result<void> opened = file.open(c.path);
        ASSERT_FALSE(opened) << c.path;
        EXPECT_EQ(opened.error().kind, ErrorKind::Io) << c.path;
        EXPECT_EQ(opened.error().os_error, c.os_error) << c.path;
        EXPECT_EQ(opened.error().message, c.message) << c.path;
    }
    std::filesystem::remove_all(dir);
}

TEST(InputFile, ReadsTheHeaderThenOnlyTheSpansBytes) {
    const auto path = std::filesystem::temp_directory_path() / ("korrin-input-" + std::to_string(::getpid()) + ".sph");
    test_support::Bytes payload(400);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i);
    const auto bytes = test_support::sphere_file(required(100, 2, 2), payload);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    InputFile file;
    ASSERT_TRUE(file.open(path));
    EXPECT_TRUE(file.has_sphere_magic());
    auto header = file.read_header();
    ASSERT_TRUE(header) << header.error().message;
    auto read = file.read_parts(UINT64_MAX, header->header_size, header->header_size + 40, header->header_size + 80);
    ASSERT_TRUE(read) << read.error().message;
    EXPECT_EQ(file.bytes_read(), header->header_size + 40);
    ASSERT_EQ(read->size(), bytes.size());
    for (std::size_t i = 40; i < 80; ++i) EXPECT_EQ(read->data()[header->header_size + i], payload[i]);
    std::filesystem::remove(path);
}

TEST(InputFile, ReadsThePagesOfTheHeaderOnly) {
    // A header of 1024 bytes takes one page's read whatever follows it; one
    // longer than that page is read whole in a second read.
    const auto path = std::filesystem::temp_directory_path() / ("korrin-head-" + std::to_string(::getpid()) + ".sph");
    const test_support::Bytes payload(200000, 0x55);
    struct Case {
        test_support::Fields fields;
        std::uint64_t header_size;
        std::uint64_t bytes_read;
    };
    const Case cases[] = {
        {required(100000, 1, 2), 1024, 4096},
        {test_support::with(required(100000, 1, 2), {"comment", std::string(6000, 'x'), "-s6000"}), 8192, 8192},
    };
    for (const Case& c : cases) {
        const auto bytes = test_support::sphere_file(c.fields, payload);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        InputFile file;
        ASSERT_TRUE(file.open(path));
        auto header = file.read_header();
        ASSERT_TRUE(header) << header.error().message;
        EXPECT_EQ(header->header_size, c.header_size);
        EXPECT_EQ(file.bytes_read(), c.bytes_read) << c.header_size;
    }
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace korrin::input

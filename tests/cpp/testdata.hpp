#pragma once
// Where the real-world recordings are, and the skip for machines without them.

#include <gtest/gtest.h>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace korrin::test_support {

// $KORRIN_TESTDATA when set and not empty, else the directory compiled in
// (shared/testdata beside the checkout).
inline std::string testdata_dir() {
    const char* where = std::getenv("KORRIN_TESTDATA");
    return where != nullptr && *where != '\0' ? std::string(where) : std::string(KORRIN_TESTDATA_DIR);
}

inline std::string real_sphere(std::string_view name) { return testdata_dir() + "/sphere/" + std::string(name); }

inline bool have_real_files() {
    std::error_code error;
    return std::filesystem::is_directory(testdata_dir() + "/sphere", error);
}

}  // namespace korrin::test_support

// Ends the test as skipped when the recordings are absent. A directory that
// is there but lacks a file still fails: that is a broken copy, not a
// machine without the files.
#define KORRIN_SKIP_WITHOUT_REAL_FILES()                                                         \
    do {                                                                                         \
        if (!::korrin::test_support::have_real_files())                                          \
            GTEST_SKIP() << "no real SPHERE files in " << ::korrin::test_support::testdata_dir() \
                         << "/sphere (set KORRIN_TESTDATA)";                                     \
    } while (false)

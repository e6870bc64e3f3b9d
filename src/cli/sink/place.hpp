// Where an output file goes, decided by what is at its name: a directory
// opened once and a name inside it, or a file that is written into.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "input/input_file.hpp"

namespace korrin::cli {

// An open directory; closed when its last user lets go.
class Folder {
  public:
    explicit Folder(int fd) noexcept : fd_(fd) {}
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    ~Folder();
    int fd() const noexcept { return fd_; }

  private:
    int fd_;
};
using FolderRef = std::shared_ptr<const Folder>;

// An output directory and the folders inside it, each opened once (a few
// hundred at most stay open; one let go is opened again the same way) and
// never reached through a symbolic link: whatever is renamed or linked
// inside it while a run writes, every output is made inside it. Shared by
// the run's threads.
class OutputDir {
  public:
    // Opens `path`, a directory that exists; nothing with errno set.
    static std::shared_ptr<OutputDir> open(const std::filesystem::path& path);

    const std::filesystem::path& path() const noexcept { return path_; }

    // The folder at `relative` ("" for the directory itself), made when
    // missing with `make`; nothing with errno set.
    FolderRef folder(const std::filesystem::path& relative, bool make);

  private:
    static constexpr std::size_t most_open = 256;

    struct Open {
        FolderRef folder;
        std::uint64_t used = 0;
    };

    OutputDir(std::filesystem::path path, FolderRef root) : path_(std::move(path)), root_(std::move(root)) {}
    FolderRef folder_locked(const std::filesystem::path& relative, bool make);

    std::filesystem::path path_;
    FolderRef root_;
    std::mutex mutex_;
    std::map<std::string, Open, std::less<>> open_;
    std::uint64_t uses_ = 0;
};

// How an output's name is taken.
enum class Naming {
    // A name the run made up (a tree's, a data directory's): created as a
    // new file or put in place of a regular one, its last component never
    // followed; anything else there is left alone.
    Generated,
    // A name the user gave (sph2pipe's outfile, sph2wav -o FILE), taken as
    // cp takes it: a link's target is written (resolved once), and a
    // device, FIFO or terminal is written into rather than replaced.
    Named,
};

// Where one output is written: `name` in `folder`, by a temporary file
// renamed into place; or, when `through` is set, into that existing file.
struct Place {
    FolderRef folder;
    std::string name;
    std::string through;
};

// What is at an output's name.
struct Found {
    enum class Kind { Missing, Regular, Other };
    Kind kind = Kind::Missing;
    input::FileIdentity identity;  // of a regular file
};

// Finds the place of the output `path`: below `root` when given (folders
// made when missing with `make`), else in its own parent directory, which
// must exist.
Result<Place> locate(const std::filesystem::path& path, Naming naming, OutputDir* root, bool make);

// What is at the output `path` now, seen as `naming` sees it.
Found look(const std::filesystem::path& path, Naming naming, OutputDir* root);

}  // namespace korrin::cli

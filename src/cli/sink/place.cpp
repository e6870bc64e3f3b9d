#include "cli/sink/place.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <system_error>

#include "cli/report/report.hpp"
#include "cli/sink/fs_at.hpp"

namespace korrin::cli {

namespace fs = std::filesystem;

namespace {

std::string errno_text(int error) { return input::describe(std::error_code(error, std::generic_category())); }

// `path` as a path inside `root`, or nothing when it is not one.
std::optional<fs::path> inside(const fs::path& path, const fs::path& root) {
    fs::path relative = path.lexically_normal().lexically_relative(root.lexically_normal());
    if (relative.empty() || relative.is_absolute() || !relative.has_filename()) return std::nullopt;
    for (const fs::path& part : relative)
        if (part.empty() || part == "." || part == "..") return std::nullopt;
    return relative;
}

DecodeError cannot_create(const fs::path& path, int cause) {
    return DecodeError{ErrorKind::Io, "cannot create " + escape_name(path.native()) + ": " + errno_text(cause), cause};
}

// The name `path` in its parent directory, opened by its path.
Result<Place> in_parent(const fs::path& path) {
    if (!path.has_filename()) return cannot_create(path, EISDIR);
    const fs::path dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
    const int fd = fs_at::open_dir(dir.c_str());
    if (fd < 0) return cannot_create(path, errno);
    Place place;
    place.folder = std::make_shared<const Folder>(fd);
    place.name = path.filename().native();
    return place;
}

Place through(const fs::path& path) {
    Place place;
    place.through = path.native();
    return place;
}

// A name the user gave, as cp takes it.
Result<Place> named(const fs::path& path) {
    struct stat link;
    if (::lstat(path.c_str(), &link) != 0) return errno == ENOENT ? in_parent(path) : cannot_create(path, errno);
    if (S_ISREG(link.st_mode)) return in_parent(path);
    if (S_ISDIR(link.st_mode)) return cannot_create(path, EISDIR);
    if (!S_ISLNK(link.st_mode)) return through(path);
    struct stat target;
    if (::stat(path.c_str(), &target) != 0) {
        if (errno != ENOENT) return cannot_create(path, errno);
        return DecodeError{ErrorKind::Io,
                           "not writing through the dangling symbolic link " + escape_name(path.native()), ENOENT};
    }
    if (S_ISDIR(target.st_mode)) return cannot_create(path, EISDIR);
    if (S_ISREG(target.st_mode)) {
        // Replaced where it is, beside itself, the link left as it was.
        const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
        struct stat resolved;
        if (real && ::stat(real.get(), &resolved) == 0 && resolved.st_dev == target.st_dev &&
            resolved.st_ino == target.st_ino)
            return in_parent(real.get());
        // A file that no path reaches (deleted, behind /proc/self/fd) is
        // written into.
    }
    return through(path);
}

}  // namespace

Folder::~Folder() {
    if (fd_ >= 0) ::close(fd_);
}

std::shared_ptr<OutputDir> OutputDir::open(const fs::path& path) {
    const int fd = fs_at::open_dir(path.c_str());
    if (fd < 0) return nullptr;
    auto root = std::make_shared<const Folder>(fd);
    return std::shared_ptr<OutputDir>(new OutputDir(path, std::move(root)));
}

FolderRef OutputDir::folder(const fs::path& relative, bool make) {
    std::lock_guard lock(mutex_);
    return folder_locked(relative, make);
}

FolderRef OutputDir::folder_locked(const fs::path& relative, bool make) {
    if (relative.empty()) return root_;
    const auto known = open_.find(relative.native());
    if (known != open_.end()) {
        known->second.used = ++uses_;
        return known->second.folder;
    }
    const FolderRef parent = folder_locked(relative.parent_path(), make);
    if (!parent) return nullptr;
    const int fd = fs_at::open_subdir(parent->fd(), relative.filename().c_str(), make);
    if (fd < 0) return nullptr;
    FolderRef opened = std::make_shared<const Folder>(fd);
    if (open_.size() >= most_open) {
        // The longest unused goes: a run walks its tree folder by folder.
        auto oldest = open_.begin();
        for (auto it = open_.begin(); it != open_.end(); ++it)
            if (it->second.used < oldest->second.used) oldest = it;
        open_.erase(oldest);
    }
    open_.emplace(relative.native(), Open{opened, ++uses_});
    return opened;
}

Result<Place> locate(const fs::path& path, Naming naming, OutputDir* root, bool make) {
    if (root == nullptr) return naming == Naming::Named ? named(path) : in_parent(path);
    const std::optional<fs::path> relative = inside(path, root->path());
    if (!relative)
        return invalid(escape_name(path.native()), " is not inside the output directory ",
                       escape_name(root->path().native()));
    Place place;
    place.folder = root->folder(relative->parent_path(), make);
    if (!place.folder) {
        const int cause = errno;
        const fs::path dir = root->path() / relative->parent_path();
        std::error_code ignored;
        return DecodeError{ErrorKind::Io,
                           "cannot create directory " + escape_name(dir.native()) + ": " +
                               ((cause == ENOTDIR || cause == ELOOP) && fs::is_symlink(dir, ignored)
                                    ? "it is a symbolic link, which is never followed inside the output directory"
                                    : errno_text(cause)),
                           cause};
    }
    place.name = relative->filename().native();
    return place;
}

Found look(const fs::path& path, Naming naming, OutputDir* root) {
    struct stat info;
    if (naming == Naming::Named && root == nullptr) {
        if (::stat(path.c_str(), &info) != 0) return {};
    } else {
        const Result<Place> place = locate(path, naming, root, false);
        if (!place || fs_at::look(place->folder->fd(), place->name.c_str(), info) != 0) return {};
    }
    if (!S_ISREG(info.st_mode)) return {Found::Kind::Other, {}};
    return {Found::Kind::Regular, {info.st_dev, info.st_ino}};
}

}  // namespace korrin::cli

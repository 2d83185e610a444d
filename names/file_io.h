#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick::names {

// An ordinary file at exactly this path, symbolic links followed: a directory,
// a device or a dangling link does not count.
[[nodiscard]] bool is_regular_file(const std::string& path);

// Whether the file may be changed: it grants write permission to us, and it
// is not read-only for everybody (no write bit at all), which stops the write
// even for root, as the read-only attribute does on Windows.
[[nodiscard]] bool is_writable_file(const std::string& path);

// Whether we may create files in the directory, by the same rule: a directory
// without any write bit counts as read-only even for root. When not, error
// holds the errno that says why.
[[nodiscard]] bool is_writable_directory(const std::string& path, int* error = nullptr);

// Creates the directory and any missing parents, new ones with the given mode
// (less the umask). True when the directory is there afterwards; otherwise
// error holds errno.
[[nodiscard]] bool make_directories(const std::string& path, mode_t mode, int* error = nullptr);

// The largest file read_file takes: the full name file is 76 KB, so anything
// this big is no name file, and reading it would stall the program.
inline constexpr std::size_t max_file_bytes = 16 * 1024 * 1024;

// The whole file, or nothing when it cannot be read; error then holds errno:
// EISDIR for a directory, EINVAL for any other file that is no ordinary one
// (a FIFO or a device is opened without waiting and never read), EFBIG for
// one over max_file_bytes.
[[nodiscard]] std::optional<std::string> read_file(const std::string& path, int* error = nullptr);

// The owner of a symbolic link at path that must not be followed: one in a
// directory others may write to (sticky or not), owned by neither the user
// running us nor root. Someone else could have planted it there to make us
// read or write a file of ours, as the kernel's protected-symlinks rule says.
[[nodiscard]] std::optional<uid_t> foreign_link_owner(const std::string& path);

// An exclusive advisory lock (flock) on file + lock_suffix, a file that is
// only ever created, never replaced, so every writer of `file` locks the same
// one. The lock dies with its process: a writer killed while holding it
// blocks nobody.
inline constexpr const char* lock_suffix = ".lock";
class FileLock {
  public:
    // Waits at most `patience` for the lock.
    explicit FileLock(const std::string& file,
                      std::chrono::milliseconds patience = std::chrono::seconds(2));
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    [[nodiscard]] bool held() const { return fd_ >= 0; }
    // Why it is not held: errno (EWOULDBLOCK when another writer kept it).
    [[nodiscard]] int error() const { return error_; }
    // Not held because nothing can be created in the file's directory (none
    // there, or read-only to us): no file of ours can be replaced there either,
    // so a reader goes on without it and a write fails on its own.
    [[nodiscard]] bool directory_unwritable() const {
        return error_ == EACCES || error_ == EROFS || error_ == ENOENT || error_ == ENOTDIR;
    }

  private:
    int fd_ = -1;
    int error_ = 0;
};

// Replaces the file's contents so that no instant shows anything but the old
// file or the new one, whole: the bytes go to a temporary "<name>.XXXXXX"
// beside it, are flushed to disk, and the temporary is renamed over the file.
// The file keeps its permissions (and owner, where we may set it); a new file
// gets 0666 less the umask. A symbolic link is followed and stays a link,
// unless foreign_link_owner refuses it (EPERM). Returns false, with the file untouched, when any
// step fails; error then holds errno.
[[nodiscard]] bool replace_file(const std::string& path, std::string_view bytes,
                                int* error = nullptr);

// Creates a new file holding bytes, written and flushed beside it and then
// given its name, so it appears whole or not at all. Never replaces anything:
// when the name is taken it returns false with *error EEXIST. The new file
// gets the owner and mode of *like when given, else 0666 less the umask.
[[nodiscard]] bool create_file(const std::string& path, std::string_view bytes,
                               int* error = nullptr, const struct stat* like = nullptr);

}  // namespace tarnwick::names

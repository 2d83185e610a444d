#pragma once

#include <sys/types.h>

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

// The whole file, or nothing when it cannot be read; error then holds errno.
[[nodiscard]] std::optional<std::string> read_file(const std::string& path, int* error = nullptr);

// Replaces the file's contents so that no instant shows anything but the old
// file or the new one, whole: the bytes go to a temporary "<name>.XXXXXX"
// beside it, are flushed to disk, and the temporary is renamed over the file.
// The file keeps its permissions (and owner, where we may set it); a new file
// gets 0666 less the umask. A symbolic link is followed and stays a link.
// Returns false, with the file untouched, when any step fails; error then
// holds errno.
[[nodiscard]] bool replace_file(const std::string& path, std::string_view bytes,
                                int* error = nullptr);

// Creates a new file holding bytes, written and flushed beside it and then
// given its name, so it appears whole or not at all. Never replaces anything:
// when the name is taken it returns false with *error EEXIST. A new file gets
// 0666 less the umask.
[[nodiscard]] bool create_file(const std::string& path, std::string_view bytes,
                               int* error = nullptr);

}  // namespace tarnwick::names

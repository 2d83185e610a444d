#pragma once

#include <string>
#include <vector>

namespace tarnwick::names {

// Where Tarnwick keeps the files of the user running it, by the XDG base
// directory rules: $XDG_CONFIG_HOME/tarnwick when that variable holds an
// absolute path, else $HOME/.config/tarnwick (the home from the password
// database when HOME is unset or not absolute). Without a trailing '/'; the
// directory is not created here. Empty only when no home can be found at all.
[[nodiscard]] std::string user_config_directory();

// The per-user settings (saved port choices): user_config_directory() +
// "/tarnwick.conf", an INI file.
[[nodiscard]] std::string settings_file_path();

// The directory of the running executable, from /proc/self/exe (not the
// working directory), without a trailing '/'.
[[nodiscard]] std::string executable_directory();

// Where name.txt is, why there, and whether it can be written.
struct NameFileLocation {
    enum class Why {
        // Beside the executable: its user may write there (a portable copy, the
        // layout the Windows program shares).
        program_directory_writable,
        // Per user: the executable runs from the directory it was installed
        // to, which belongs to the package, not to the user (even to root).
        installed_copy,
        // Per user: the executable's directory is read-only for this user.
        program_directory_read_only,
    };
    Why why = Why::program_directory_writable;
    // The file; "" when there is no home for a per-user file.
    std::string path;
    // A per-user file that is not there yet starts as a byte-identical copy of
    // this file; "" for none (the first start then writes the defaults).
    std::string seed;
    // Why the file cannot be created, "<path>: <system error>"; "" when it
    // can, or is already there.
    std::string problem;
};

// The name.txt files a new per-user file may start as, in the order they are
// tried: beside the executable, then tarnwick/name.txt under each absolute
// directory of $XDG_CONFIG_DIRS (/etc/xdg when it names none).
[[nodiscard]] std::vector<std::string> name_file_seeds(const std::string& executable_directory);

// The one place that decides which name.txt the panel and every other reader
// or writer of names uses. Looks, changes nothing: see prepare_name_file.
// installed_directory is where the build installs its programs; an executable
// there never keeps its names beside itself.
[[nodiscard]] NameFileLocation locate_name_file(const std::string& executable_directory,
                                                const std::string& installed_directory);
// ... with the installed directory this build was configured for.
[[nodiscard]] NameFileLocation locate_name_file(const std::string& executable_directory);

// Puts a per-user file in place: creates its directory (0700) and copies the
// seed. On failure, location.problem says why. A file already there is kept.
void prepare_name_file(NameFileLocation& location);

// English lines for `tarnwick --help`: the file, and why it is the one.
[[nodiscard]] std::string describe_name_file(const NameFileLocation& location,
                                             const std::string& executable_directory);

}  // namespace tarnwick::names

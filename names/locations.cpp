#include "names/locations.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace tarnwick::names {

namespace {

// An environment variable that holds an absolute path; the XDG rules tell
// implementations to ignore a relative one.
const char* absolute_variable(const char* name) {
    const char* value = std::getenv(name);
    return value && value[0] == '/' ? value : nullptr;
}

std::string home_directory() {
    if (const char* home = absolute_variable("HOME")) return home;
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir && entry->pw_dir[0] == '/')
        return entry->pw_dir;
    return {};
}

std::string without_trailing_slashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace

std::string user_config_directory() {
    if (const char* config = absolute_variable("XDG_CONFIG_HOME"))
        return without_trailing_slashes(config) + "/tarnwick";
    const std::string home = home_directory();
    if (home.empty()) return {};
    return without_trailing_slashes(home) + "/.config/tarnwick";
}

std::string settings_file_path() {
    const std::string directory = user_config_directory();
    return directory.empty() ? std::string() : directory + "/tarnwick.conf";
}

}  // namespace tarnwick::names

#include "names/locations.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "names/file_io.h"
#include "names/name_file.h"

#ifndef TARNWICK_INSTALLED_BINDIR
#error "the build names the directory it installs programs to"
#endif

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
    if (const passwd* entry = ::getpwuid(::getuid());
        entry && entry->pw_dir && entry->pw_dir[0] == '/')
        return entry->pw_dir;
    return {};
}

std::string without_trailing_slashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string parent_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string system_error(const std::string& path, int error) {
    return path + ": " + std::strerror(error);
}

bool same_directory(const std::string& a, const std::string& b) {
    std::error_code ignored;
    return std::filesystem::weakly_canonical(a, ignored) ==
           std::filesystem::weakly_canonical(b, ignored);
}

// Why a file cannot be created in directory, which may not exist yet: its
// nearest existing ancestor must let us make what is missing.
std::string creation_problem(const std::string& directory) {
    std::string existing = directory;
    while (existing != "/" && ::access(existing.c_str(), F_OK) != 0 && errno == ENOENT)
        existing = parent_of(existing);
    int error = 0;
    return is_writable_directory(existing, &error) ? std::string() : system_error(existing, error);
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

std::string executable_directory() {
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || !exe.has_parent_path()) return ".";
    return exe.parent_path().string();
}

std::vector<std::string> name_file_seeds(const std::string& executable_directory) {
    std::vector<std::string> seeds{executable_directory + "/" + name_file_name};
    const char* dirs = std::getenv("XDG_CONFIG_DIRS");
    std::string list = dirs ? dirs : "";
    for (std::size_t begin = 0; begin <= list.size();) {
        const std::size_t end = std::min(list.find(':', begin), list.size());
        const std::string dir = list.substr(begin, end - begin);
        if (!dir.empty() && dir[0] == '/')
            seeds.push_back(without_trailing_slashes(dir) + "/tarnwick/" + name_file_name);
        begin = end + 1;
    }
    if (seeds.size() == 1) seeds.push_back(std::string("/etc/xdg/tarnwick/") + name_file_name);
    return seeds;
}

NameFileLocation locate_name_file(const std::string& executable_directory,
                                  const std::string& installed_directory) {
    using Why = NameFileLocation::Why;
    NameFileLocation where;
    const bool installed = same_directory(executable_directory, installed_directory);
    if (!installed && is_writable_directory(executable_directory)) {
        where.path = executable_directory + "/" + name_file_name;
        return where;
    }
    where.why = installed ? Why::installed_copy : Why::program_directory_read_only;
    const std::string directory = user_config_directory();
    if (directory.empty()) {
        where.problem = "no home directory: HOME is not set and the password database names none";
        return where;
    }
    where.path = directory + "/" + name_file_name;
    if (is_regular_file(where.path)) return where;
    for (const std::string& seed : name_file_seeds(executable_directory)) {
        if (is_regular_file(seed) && ::access(seed.c_str(), R_OK) == 0) {
            where.seed = seed;
            break;
        }
    }
    where.problem = creation_problem(directory);
    return where;
}

NameFileLocation locate_name_file(const std::string& executable_directory) {
    return locate_name_file(executable_directory, TARNWICK_INSTALLED_BINDIR);
}

void prepare_name_file(NameFileLocation& location) {
    if (location.why == NameFileLocation::Why::program_directory_writable ||
        !location.problem.empty() || is_regular_file(location.path))
        return;
    const std::string directory = parent_of(location.path);
    int error = 0;
    if (!make_directories(directory, 0700, &error)) {
        location.problem = system_error(directory, error);
        return;
    }
    if (location.seed.empty()) return;
    const auto bytes = read_file(location.seed, &error);
    if (!bytes) {
        location.problem = system_error(location.seed, error);
    } else if (!replace_file(location.path, *bytes, &error)) {
        location.problem = system_error(location.path, error);
    }
}

std::string describe_name_file(const NameFileLocation& location,
                               const std::string& executable_directory) {
    using Why = NameFileLocation::Why;
    std::string text = "Name file: " + (location.path.empty() ? "(none)" : location.path) + "\n";
    switch (location.why) {
        case Why::program_directory_writable:
            text += "  beside the program, whose directory this user may write into.\n";
            break;
        case Why::installed_copy:
            text += "  per user: the program runs installed in " + executable_directory +
                    ", which holds no names.\n";
            break;
        case Why::program_directory_read_only:
            text += "  per user: this user may not write into the program's directory " +
                    executable_directory + ".\n";
            break;
    }
    if (!location.problem.empty())
        text += "  It cannot be created (" + location.problem +
                "): the panel shows the default names and cannot save any.\n";
    else if (!location.seed.empty())
        text += "  It is not there yet and will start as a copy of " + location.seed + ".\n";
    else if (!location.path.empty() && !is_regular_file(location.path))
        text += "  It is not there yet; the first start creates it with the default names.\n";
    return text;
}

}  // namespace tarnwick::names

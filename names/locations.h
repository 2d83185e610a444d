#pragma once

#include <string>

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

}  // namespace tarnwick::names

#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "config/config.h"

// The [site], [scene NAME] and [schedule NAME] sections of tarnwickd.conf,
// for the reader in config.cpp: each function says what is wrong in one
// sentence, or nothing.
namespace tarnwick::config::time_sections {

using Problem = std::optional<std::string>;

// A sentence and the key it is about; the reader adds file, line and section.
struct Placed {
    std::string key;
    std::string why;
    int at = 0;  // the key's line; 0: the section's header
};

[[nodiscard]] Problem name_problem(std::string_view kind, std::string_view name);
[[nodiscard]] Problem site_entry(service::when::Site& site, std::string_view key,
                                 std::string_view value);
[[nodiscard]] Problem scene_entry(SceneConfig& scene, std::string_view key, std::string_view value);
[[nodiscard]] Problem schedule_entry(ScheduleConfig& schedule, std::string_view key,
                                     std::string_view value);
// The keys given, each with its line.
using Keys = std::map<std::string, int, std::less<>>;
[[nodiscard]] std::optional<Placed> end_site(const Keys& keys);
[[nodiscard]] std::optional<Placed> end_schedule(const ScheduleConfig& schedule, const Keys& keys);

// What one section cannot see: lines, boards and relays that exist, the
// scenes named, a relay in two windows, a pulsed window relay, sun times
// without a site. `title` is set to the section the problem is in.
[[nodiscard]] std::optional<Placed> cross_check(const Config& config,
                                                const std::vector<Keys>& scene_keys,
                                                const std::vector<Keys>& schedule_keys,
                                                std::string& title);

}  // namespace tarnwick::config::time_sections

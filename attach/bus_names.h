#pragma once

#include <QString>

// The names tarnwickd is known by on the bus, one definition for the service
// and its clients.
namespace tarnwick::attach {

inline constexpr const char* bus_name = "org.tarnwick.Tarnwick1";
inline constexpr const char* root_path = "/org/tarnwick/Tarnwick1";
inline constexpr const char* line_interface = "org.tarnwick.Tarnwick1.Line";
inline constexpr const char* board_interface = "org.tarnwick.Tarnwick1.Board";

// A line's name as one element of an object path: every character outside
// [A-Za-z0-9] becomes '_' and its two lowercase hex digits ("cabinet-3" ->
// "cabinet_2d3"). A name is ASCII (the configuration checks it).
[[nodiscard]] QString path_element(const QString& name);

}  // namespace tarnwick::attach

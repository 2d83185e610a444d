#pragma once

#include <QString>
#include <optional>

// tarnwickd's contract on the bus: the names it is known by and the errors
// of its board methods, one definition for the service and its clients.
namespace tarnwick::attach {

inline constexpr const char* bus_name = "org.tarnwick.Tarnwick1";
inline constexpr const char* root_path = "/org/tarnwick/Tarnwick1";
inline constexpr const char* line_interface = "org.tarnwick.Tarnwick1.Line";
inline constexpr const char* board_interface = "org.tarnwick.Tarnwick1.Board";

// How a board method ended; none is its plain reply.
enum class BoardError { none, not_confirmed, offline, invalid_argument, interlock, failed };

// Each error's name on the bus, org.tarnwick.Tarnwick1.Error.<Name>.
[[nodiscard]] QString error_name(BoardError error);
// The error an error name stands for; nothing for a name not of ours.
[[nodiscard]] std::optional<BoardError> board_error(const QString& name);

// A line's name as one element of an object path: every character outside
// [A-Za-z0-9] becomes '_' and its two lowercase hex digits ("cabinet-3" ->
// "cabinet_2d3"). A name is ASCII (the configuration checks it).
[[nodiscard]] QString path_element(const QString& name);

}  // namespace tarnwick::attach

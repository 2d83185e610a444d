#pragma once

#include <QString>
#include <optional>

// tarnwickd's contract on the bus: the names it is known by, the properties
// and the errors of its board methods, one definition for the service and its
// clients.
namespace tarnwick::attach {

inline constexpr const char* bus_name = "org.tarnwick.Tarnwick1";
inline constexpr const char* root_path = "/org/tarnwick/Tarnwick1";
inline constexpr const char* line_interface = "org.tarnwick.Tarnwick1.Line";
inline constexpr const char* board_interface = "org.tarnwick.Tarnwick1.Board";
// Schedules and scenes of the configuration, one object each under
// root_path/schedule/<name> and root_path/scene/<name> (path_element).
// A schedule: Name (s), Enabled (b, kept across restarts), Active (b, inside
// its window now; an event schedule is never active), NextChange (t, µs since
// the epoch, 0 when none); Enable(b). A scene: Name (s); Apply() -> as, the
// relays that were not confirmed ("LINE/ADDRESS/RELAY: why"), empty when
// every relay is as the scene says.
inline constexpr const char* schedule_interface = "org.tarnwick.Tarnwick1.Schedule";
inline constexpr const char* scene_interface = "org.tarnwick.Tarnwick1.Scene";
inline constexpr const char* schedule_node = "schedule";
inline constexpr const char* scene_node = "scene";
// How long Apply() may take: a scene over every line waits for each board.
inline constexpr int scene_timeout_ms = 30000;

// A board's properties beyond its address, state and names: its line's
// family ("native" or "modbus"), its discrete inputs (q, bit n-1: input n;
// 0 while offline or on a line without inputs), and how many its line reads
// (q, 0..16: a client cannot tell "none" from "all off" by Inputs alone).
inline constexpr const char* protocol_property = "Protocol";
inline constexpr const char* inputs_property = "Inputs";
inline constexpr const char* input_count_property = "InputCount";

// How a board method ended; none is its plain reply. refused: the board
// itself refused the command (a Modbus exception), the reason in its words.
enum class BoardError {
    none,
    not_confirmed,
    offline,
    invalid_argument,
    interlock,
    failed,
    refused
};

// Each error's name on the bus, org.tarnwick.Tarnwick1.Error.<Name>.
[[nodiscard]] QString error_name(BoardError error);
// The error an error name stands for; nothing for a name not of ours.
[[nodiscard]] std::optional<BoardError> board_error(const QString& name);

// A line's name as one element of an object path: every character outside
// [A-Za-z0-9] becomes '_' and its two lowercase hex digits ("cabinet-3" ->
// "cabinet_2d3"). A name is ASCII (the configuration checks it).
[[nodiscard]] QString path_element(const QString& name);

}  // namespace tarnwick::attach

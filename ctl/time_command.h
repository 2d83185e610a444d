#pragma once

#include "ctl/command_line.h"

namespace tarnwick::ctl {

// schedules, schedule NAME enable|disable and scene [NAME]: tarnwickd's
// schedules and scenes, on the bus $TARNWICK_BUS names, else the system bus.
[[nodiscard]] int run_time_command(const Request& request);

}  // namespace tarnwick::ctl

#pragma once

#include <functional>

#include "ctl/command_line.h"

namespace tarnwick::ctl {

// The wait for each address of a scan when --timeout is not given: the wire
// time of a query and its answer at the line's speed (native: 16 bytes of 10
// bits at 9600), plus a margin for the board's turnaround and the adapter.
[[nodiscard]] int scan_answer_wait_ms(const protocol::LineSettings& line = {});

// scan [FROM-TO] on a line this program opens: each address asked in turn,
// each board found printed as it answers. `on_interrupt` is given the
// function that stops it.
int run_scan(const Request& request,
             const std::function<void(std::function<void()>)>& on_interrupt);

}  // namespace tarnwick::ctl

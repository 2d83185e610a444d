#pragma once

#include <functional>

#include "ctl/command_line.h"

namespace tarnwick::ctl {

// serve: the boards of the line on the MQTT broker until `stop` is called
// back (SIGINT, SIGTERM) with the reason; returns the exit status: 0 after a
// clean stop, exit_port when the port cannot be opened.
using StopHook = std::function<void(const std::function<void(const QString& why)>& stop)>;
int run_serve(const Request& request, const StopHook& when_stopped);

}  // namespace tarnwick::ctl

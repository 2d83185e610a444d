#pragma once

#include <QString>

namespace tarnwick::link {

// The device behind port number n. On Linux: $TARNWICK_COM<n> when set (so any
// device, a USB adapter or a simulated board, can stand behind a number),
// otherwise /dev/ttyS<n-1>; port 0 without the variable has no device and
// gives an empty string. This is the one place a port number becomes a device.
QString device_for_port(int port_number);

}  // namespace tarnwick::link

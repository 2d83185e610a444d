#pragma once

#include <QString>

namespace tarnwick::link {

class PortChoices;

// Where the device behind a port number came from; `named`: a program was
// given the device itself, by path, and no number stands for it.
enum class PortSource { environment, saved, fallback, named };

struct PortDevice {
    QString path;  // empty: the number has no device
    PortSource source = PortSource::fallback;
};

// The device behind port number n, in this order: $TARNWICK_COM<n> when set
// (any device, a USB adapter or a simulated board, can stand behind a
// number), else the operator's saved choice for n, else /dev/ttyS<n-1>; port
// 0 has no default. This is the one place a port number becomes a device.
[[nodiscard]] PortDevice device_for_port(int port_number, const PortChoices* choices);

}  // namespace tarnwick::link

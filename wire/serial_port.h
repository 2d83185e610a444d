#pragma once

#include <QString>
#include <cstddef>
#include <optional>
#include <span>

#include "protocol/board_family.h"
#include "protocol/frame.h"
#include "wire/device_info.h"

namespace tarnwick::link {

// What went wrong with a serial device, as far as the operator needs to know;
// wire/port_texts.h turns it into Chinese.
enum class PortFault {
    no_device,      // the port number stands for no device at all
    not_found,      // no such path
    permission,     // the user may not open it
    not_permitted,  // a device policy refuses this kind of device (EPERM)
    busy,           // another program holds it
    not_serial,     // it is no terminal (a plain file, a directory)
    gone,           // it went away while open (adapter pulled, board process ended)
    io_error,       // reading or writing failed while open
    other,
};

// A failed open, or a device lost while open.
struct PortProblem {
    QString device;  // the path; empty when the port number has no device
    PortFault fault = PortFault::other;
    QString system_text;  // the system's own words (English), shown in parentheses
    std::optional<DeviceHolder> holder = std::nullopt;  // busy: who holds it, if found
};

// What the port tells its owner. Both arrive on the UI thread, from the event
// loop, never from inside a call the owner made on the port.
class SerialListener {
  public:
    virtual ~SerialListener() = default;
    // As many received bytes wait as the shortest answer has (the receive
    // threshold), or more.
    virtual void on_received() = 0;
    // The device went away while open (adapter pulled, board process gone).
    // Reported once per open period; the port is still formally open.
    virtual void on_lost(const PortProblem& problem) = 0;
};

// How a line is set up: its speed and framing, and how many bytes must wait
// before the listener hears of them.
struct SerialSettings {
    int baud = 9600;
    protocol::Parity parity = protocol::Parity::none;
    int stop_bits = 1;
    std::size_t threshold = protocol::frame_size;
};

// The operations the link needs of a serial line, and nothing more: open a
// device (as configured: 9600 8N1 unless told otherwise; DTR on, RTS off, no
// flow control), close it, discard unread input, write a frame as one write,
// read one raw byte. Which device a port number means is decided above this
// (port_map.h).
class SerialPort {
  public:
    virtual ~SerialPort() = default;
    void set_listener(SerialListener* listener) { listener_ = listener; }
    // Holds from the next open on.
    void configure(const SerialSettings& settings) { settings_ = settings; }
    [[nodiscard]] const SerialSettings& settings() const { return settings_; }
    // How many waiting bytes make the listener hear of them, from now on:
    // the rest of an answer whose first bytes are in.
    void set_threshold(std::size_t bytes) {
        settings_.threshold = bytes;
        threshold_changed();
    }

    // Nothing on success.
    [[nodiscard]] virtual std::optional<PortProblem> open(const QString& device) = 0;
    virtual void close() = 0;
    [[nodiscard]] virtual bool is_open() const = 0;
    // Returns how many received bytes were dropped.
    virtual std::size_t discard_input() = 0;
    virtual void write(std::span<const std::uint8_t> bytes) = 0;
    // The next received byte, or nothing when none waits.
    [[nodiscard]] virtual std::optional<std::uint8_t> read_byte() = 0;
    // How many received bytes wait to be read.
    [[nodiscard]] virtual std::size_t bytes_waiting() const = 0;
    // Takes in now what the driver already holds, the listener hearing of
    // it as usual, rather than when the event loop gets round to it.
    virtual void fetch_waiting() {}

  protected:
    virtual void threshold_changed() {}

    SerialListener* listener_ = nullptr;
    SerialSettings settings_;
};

}  // namespace tarnwick::link

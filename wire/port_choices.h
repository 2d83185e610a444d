#pragma once

#include <QString>
#include <cstdint>
#include <optional>

#include "protocol/board_family.h"

namespace tarnwick::link {

// The operator's saved device for each port number, in an INI file of the
// user's own: group [ports], one key per port number, e.g.
//   [ports]
//   1=/dev/serial/by-id/usb-1a86_USB2.0-Ser_-if00-port0
// A hand-written file in that form works. The file is read afresh on every
// look, so an edit made while the panel runs counts at the next open.
//
// A port whose boards speak Modbus RTU says so beside its device, with the
// line's speed, parity and stop bits; a port without these is native
// (9600 8N1):
//   [protocols]
//   1=modbus
//   [serial]
//   1=19200,even,1
class PortChoices {
  public:
    // A few dozen lines at most: anything this big was not written by us.
    static constexpr std::int64_t max_file_bytes = 1024 * 1024;

    explicit PortChoices(QString file_path);

    [[nodiscard]] const QString& file_path() const { return file_path_; }

    // Why the file is not used (Chinese): something is there that is no
    // ordinary file (a directory, a FIFO, a socket, a device), which the INI
    // reader would fail on or wait on forever; one over max_file_bytes; a
    // link someone else may have planted (names::foreign_link_owner). Nothing
    // while it is one, or while nothing is there. Such a file is neither read
    // nor written: no device is saved, and save and remove answer this.
    [[nodiscard]] std::optional<QString> problem() const;

    // The saved device for this port number; nothing when none is saved.
    [[nodiscard]] std::optional<QString> device(int port_number) const;
    // Nothing on success, else why the file could not be written (Chinese).
    [[nodiscard]] std::optional<QString> save(int port_number, const QString& device);
    [[nodiscard]] std::optional<QString> remove(int port_number);

    // The line the port number's boards are on: native unless the file says
    // modbus with usable serial settings (a missing [serial] entry means
    // 9600 8N1); anything else there is ignored.
    [[nodiscard]] protocol::LineSettings line(int port_number) const;
    // Saves a Modbus line's settings; a native line removes the port's.
    [[nodiscard]] std::optional<QString> save_line(int port_number,
                                                   const protocol::LineSettings& line);

  private:
    QString file_path_;
};

}  // namespace tarnwick::link

#pragma once

#include <QString>
#include <optional>

namespace tarnwick::link {

// The operator's saved device for each port number, in an INI file of the
// user's own: group [ports], one key per port number, e.g.
//   [ports]
//   1=/dev/serial/by-id/usb-1a86_USB2.0-Ser_-if00-port0
// A hand-written file in that form works. The file is read afresh on every
// look, so an edit made while the panel runs counts at the next open.
class PortChoices {
  public:
    explicit PortChoices(QString file_path);

    [[nodiscard]] const QString& file_path() const { return file_path_; }

    // Why the file is not used (Chinese): something is there that is no
    // ordinary file (a directory, a FIFO, a socket, a device), which the INI
    // reader would fail on or wait on forever. Nothing while it is one, or
    // while nothing is there. Such a file is neither read nor written: no
    // device is saved, and save and remove answer this.
    [[nodiscard]] std::optional<QString> problem() const;

    // The saved device for this port number; nothing when none is saved.
    [[nodiscard]] std::optional<QString> device(int port_number) const;
    // Nothing on success, else why the file could not be written (Chinese).
    [[nodiscard]] std::optional<QString> save(int port_number, const QString& device);
    [[nodiscard]] std::optional<QString> remove(int port_number);

  private:
    QString file_path_;
};

}  // namespace tarnwick::link

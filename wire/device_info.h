#pragma once

#include <QList>
#include <QString>
#include <cstdint>
#include <optional>

namespace tarnwick::link {

// Where udev keeps the stable names of USB serial adapters: they stay the
// same whichever socket the adapter is plugged into.
inline const QString serial_by_id_directory = QStringLiteral("/dev/serial/by-id");

// A process that holds a device open, as Qt's lock file for the device (or,
// failing that, /proc) names it.
struct DeviceHolder {
    qint64 pid = 0;
    QString program;  // its command line, cut short: "tarnwick-ctl serve --mqtt ..."
};

// Who else holds the device, by any of its names; nothing when nobody
// does or this process is the one. Reads the lock file Qt keeps for each
// open port and, with `look_at_processes`, every process's descriptors.
[[nodiscard]] std::optional<DeviceHolder> device_holder(const QString& path,
                                                        bool look_at_processes = false);

// What the system knows about one serial device.
struct SerialDevice {
    QString path;         // as asked for or listed
    QString system_path;  // the device node itself, every link followed
    QString by_id;        // its name under the by-id directory, if it has one
    QString description;
    QString manufacturer;
    QString serial_number;
    std::optional<std::uint16_t> vendor_id;
    std::optional<std::uint16_t> product_id;
    bool exists = false;
    bool char_device = false;
    bool permitted = false;    // this user may read and write it
    bool in_use = false;       // a process has it open (one this user may see); listed only
    bool in_use_here = false;  // ... and that process is this one
    std::optional<DeviceHolder> holder;  // another process, by its lock file

    // "1a86:7523", or empty when it is no USB device.
    [[nodiscard]] QString usb_id() const;
    // "USB-Serial CH340, 1a86:7523", or empty when the system knows nothing.
    [[nodiscard]] QString summary() const;
    // "可用", "使用中", "无权限", ...
    [[nodiscard]] QString state_text() const;
};

// One device, by any of its names. Does not open it: opening a serial line
// raises DTR, which resets some boards. Nor does it read every process's
// descriptors to fill in_use and in_use_here (it runs on each keystroke of a
// typed path and for each tooltip); the list does.
[[nodiscard]] SerialDevice inspect_device(const QString& path,
                                          const QString& by_id_directory = serial_by_id_directory);

// Every serial device the system enumerates, plus any by-id name whose device
// was not among them; by-id names are attached to their devices.
[[nodiscard]] QList<SerialDevice> list_serial_devices(
    const QString& by_id_directory = serial_by_id_directory);

// Why a path cannot be saved as a port's device (Chinese), or nothing.
[[nodiscard]] std::optional<QString> refusal(const SerialDevice& device);

// What to save for a device: its by-id name when it has one, so the choice
// follows the adapter into any USB socket; else the path as given.
[[nodiscard]] QString name_to_save(const SerialDevice& device);

}  // namespace tarnwick::link

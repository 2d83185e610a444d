#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <map>
#include <memory>
#include <vector>

#include "config/config.h"
#include "names/name_file.h"
#include "service/bus.h"
#include "service/line.h"
#include "service/schedules.h"

namespace tarnwick::service {

// The running service: its lines, their objects on the bus, the name file in
// the state directory, the service manager's notifications, and the signals:
// SIGHUP reads the configuration again (lines added, removed or changed are
// restarted, the others keep polling), SIGTERM and SIGINT end it with 0.
class Daemon : public QObject {
    Q_OBJECT
  public:
    Daemon(QString config_path, QString bus_address, QObject* parent = nullptr);
    ~Daemon() override;

    // Owns the bus name and starts every line, then tells systemd it is
    // ready; false when it cannot (logged): the caller exits non-zero.
    bool start(const Config& config);

    // $STATE_DIRECTORY when systemd sets it, else /var/lib/tarnwick.
    [[nodiscard]] static std::string state_directory();

  private:
    static void seed_name_file();
    bool own_bus_name();
    void apply(const Config& config);
    void keep_time(const Config& config);
    void on_signal();
    void reload();
    void stop();
    void keep_alive();
    void update_status();

    QString config_path_;
    QString bus_address_;
    std::unique_ptr<QDBusConnection> bus_;
    std::unique_ptr<BusObjects> objects_;
    names::TextMessages name_messages_;
    std::unique_ptr<names::NameFile> names_;
    // Before the lines: their bridges hold these until they are gone.
    std::map<Line*, std::unique_ptr<LineTimekeeping>> offered_;
    std::vector<std::unique_ptr<Line>> lines_;
    // Made anew from each configuration read; the lines' bridges see it
    // through their LineTimekeeping, which lives as long as the line.
    std::unique_ptr<Timekeeper> keeper_;
    std::unique_ptr<QSocketNotifier> signals_;
    QTimer keep_alive_;
    std::vector<Line*> ticked_;  // lines that ticked since the last keep-alive
    std::string status_;
};

}  // namespace tarnwick::service

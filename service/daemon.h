#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <memory>
#include <vector>

#include "config/config.h"
#include "names/name_file.h"
#include "service/bus.h"
#include "service/line.h"

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
    std::vector<std::unique_ptr<Line>> lines_;
    std::unique_ptr<QSocketNotifier> signals_;
    QTimer keep_alive_;
    std::vector<Line*> ticked_;  // lines that ticked since the last keep-alive
    std::string status_;
};

}  // namespace tarnwick::service

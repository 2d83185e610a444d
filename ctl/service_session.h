#pragma once

#include <QDBusServiceWatcher>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

#include "attach/service_client.h"
#include "ctl/command_line.h"
#include "ctl/report.h"

namespace tarnwick::ctl {

// One command through the tarnwickd that holds the line: the same output,
// --json and exit statuses as on the device, but the service sends the
// frames and confirms the switches. scan is refused: the boards of the line
// are the service's to know.
class ServiceSession : public QObject {
    Q_OBJECT
  public:
    ServiceSession(const Request& request, QDBusConnection bus, attach::HeldLine line,
                   QObject* parent = nullptr);

    int run();
    // SIGINT or SIGTERM: a watch ends as asked for, anything else stops.
    void interrupt();

  private:
    int run_names();
    int switch_relays();
    int watch();
    void watch_change();
    void follow_service();
    void read_again();
    [[nodiscard]] link::RelayStates states() const;
    [[nodiscard]] int call_timeout_ms() const;
    // The status for a refused call, its words printed (and --json).
    int refused(const attach::CallResult& result);
    int finish(int status, const QString& error = {});
    void report_states(bool confirmed);
    [[nodiscard]] QJsonObject json_head() const;

    Request request_;
    QDBusConnection bus_;
    attach::HeldLine line_;
    std::optional<attach::BoardClient> board_;
    ChannelNames names_;
    std::optional<link::RelayStates> shown_;
    int lines_ = 0;
    bool watching_ = false;
    QTimer reader_check_;
    QStringList sources_;  // ... said since the last line
    // A watch across the service going away and coming back.
    std::unique_ptr<QDBusServiceWatcher> service_watch_;
    QTimer read_again_;
    bool service_present_ = true;
    std::optional<int> status_;
    QEventLoop* loop_ = nullptr;
};

// The command through tarnwickd when a service holds the device -p names
// (asked for 300 ms), with `prepare` called on its session first; nothing
// when none does and the command may open the device itself.
[[nodiscard]] std::optional<int> run_if_held(const Request& request,
                                             const std::function<void(ServiceSession&)>& prepare);

}  // namespace tarnwick::ctl

#pragma once

#include <QDBusServiceWatcher>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

#include "attach/service_client.h"
#include "ctl/board_access.h"

namespace tarnwick::ctl {

// The board on a line tarnwickd holds: the service sends the frames and
// confirms the switches; this waits for its replies. A watch goes on across
// the service going away and coming back, the relays unknown meanwhile.
class ServiceBoard : public BoardAccess {
    Q_OBJECT
  public:
    ServiceBoard(const Request& request, QDBusConnection bus, attach::HeldLine line,
                 QObject* parent = nullptr);

    Outcome attach() override;
    void read(Done done) override;
    void set(std::uint16_t mask, std::uint16_t bits, Done done) override;
    void pulse(int relay, double seconds, Done done) override;
    void watch(Done failed) override;

    [[nodiscard]] link::RelayStates states() const override;
    [[nodiscard]] std::optional<std::uint16_t> last_relays() const override { return std::nullopt; }
    [[nodiscard]] ChannelNames names() const override { return names_; }
    [[nodiscard]] std::optional<std::uint16_t> inputs() const override;
    [[nodiscard]] int input_count() const override;
    void add_json_head(QJsonObject& head) const override;
    [[nodiscard]] QString reason(int status) const override { return reason_code(status); }

    // names [CH [NAME]] through the service, once attached.
    int run_names();

  private:
    [[nodiscard]] int call_timeout_ms() const;
    // The failure for a call the service refused.
    [[nodiscard]] Failure refused(const attach::CallResult& result) const;
    // A switch done: the board's state read anew for the report.
    [[nodiscard]] Outcome read_after(const attach::CallResult& done);
    void follow_service();
    void read_again();

    const Request& request_;
    QDBusConnection bus_;
    attach::HeldLine line_;
    std::optional<attach::BoardClient> board_;
    ChannelNames names_;
    std::unique_ptr<QDBusServiceWatcher> service_watch_;
    QTimer read_again_;
    bool service_present_ = true;
};

class Runner;

// The exit status of a call the service did not do.
[[nodiscard]] int status_of(attach::Refusal refusal);

// The command through tarnwickd when a service holds the device -p names
// (asked for 300 ms), with `prepare` called on its runner first; nothing
// when none does and the command may open the device itself.
[[nodiscard]] std::optional<int> run_if_held(const Request& request,
                                             const std::function<void(Runner&)>& prepare);

}  // namespace tarnwick::ctl

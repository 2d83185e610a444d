#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>

#include "ctl/command_line.h"
#include "ctl/report.h"
#include "panel/relay_state.h"

namespace tarnwick::ctl {

// Why a command ended without doing what it was asked.
struct Failure {
    int status = exit_port;  // the exit status
    QString text;            // on stderr, and in --json
    bool said = false;       // on stderr already (the line's own message)
};
// Nothing: done.
using Outcome = std::optional<Failure>;
using Done = std::function<void(const Outcome&)>;

// One board, whoever holds its line: this program, which opened the device
// (DirectBoard), or the tarnwickd that holds it (ServiceBoard). The runner
// does every command through this, the same way for both. Each `done` is
// called once, maybe before the call returns.
class BoardAccess : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;

    // Opens the device, or finds the board on the service.
    virtual Outcome attach() = 0;
    // Once the board's relays are known.
    virtual void read(Done done) = 0;
    // The relays in `mask`, each on when its bit is set in `bits`; all 16 at
    // once when `mask` is 0xFFFF and `bits` all or none. Done once the board
    // showed them so.
    virtual void set(std::uint16_t mask, std::uint16_t bits, Done done) = 0;
    virtual void pulse(int relay, double seconds, Done done) = 0;
    // changed() from now on; `failed` when the board never answers.
    virtual void watch(Done failed) = 0;
    // No more frames: the command has ended.
    virtual void detach() {}

    [[nodiscard]] virtual link::RelayStates states() const = 0;
    // What the board showed last, for a failure's --json; nothing if unknown.
    [[nodiscard]] virtual std::optional<std::uint16_t> last_relays() const = 0;
    [[nodiscard]] virtual ChannelNames names() const = 0;
    // Its discrete inputs as last read (bit n-1: input n); nothing when it
    // has none or they are not known.
    [[nodiscard]] virtual std::optional<std::uint16_t> inputs() const { return std::nullopt; }
    // How many inputs its line reads, 0..16: this program's --inputs, or the
    // service's own setting, which may differ.
    [[nodiscard]] virtual int input_count() const = 0;
    // The line's part of every --json object: the device and so on.
    virtual void add_json_head(QJsonObject& head) const = 0;
    // The --json "reason" of a failure with this exit status.
    [[nodiscard]] virtual QString reason(int status) const = 0;

  signals:
    // states() may have changed.
    void changed();
    // Who switched a relay, said before the change itself.
    void switched_by(const QString& who);
};

}  // namespace tarnwick::ctl

#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "attach/contract.h"

// What the bus shows of one serial line and asks of it. The line's engine
// implements it (service/line.h); the bus objects (service/bus.h) know only
// this, so each can be tested without the other.
namespace tarnwick::service {

struct BoardState {
    bool online = false;
    std::uint16_t relays = 0;  // bit n-1: relay n energized; 0 while offline
    QStringList names;         // 16
    std::uint16_t inputs = 0;  // bit n-1: input n; 0 while offline or unread
};

// How a switch or a rename ended.
struct Outcome {
    using Error = attach::BoardError;
    Error error = Error::none;
    QString message;  // for every error: one sentence
    [[nodiscard]] bool ok() const { return error == Error::none; }
};
using Done = std::function<void(const Outcome&)>;

class LineModel : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;

    [[nodiscard]] virtual QString name() const = 0;
    [[nodiscard]] virtual QString device() const = 0;  // as configured
    [[nodiscard]] virtual bool open() const = 0;
    [[nodiscard]] virtual std::vector<std::uint8_t> boards() const = 0;
    // The boards' family: "native" or "modbus".
    [[nodiscard]] virtual QString protocol() const { return QStringLiteral("native"); }
    // The discrete inputs read of each board, 0..16.
    [[nodiscard]] virtual int input_count() const { return 0; }
    [[nodiscard]] virtual BoardState board(std::uint8_t address) const = 0;

    // Each calls `done` exactly once, later or at once: a switch when a query
    // after the command shows the relays as wanted, or failed. `relay` is
    // 1..16 and `address` one of boards(); the bus checks both first.
    // `caller` says who asked, for the journal: "uid 1000".
    virtual void switch_relay(std::uint8_t address, int relay, bool on, const QString& caller,
                              Done done) = 0;
    virtual void switch_all(std::uint8_t address, bool on, const QString& caller, Done done) = 0;
    // On now, off after `length` (0.1 s .. 1 day; the bus checks); done as
    // a switch on is.
    virtual void pulse(std::uint8_t address, int relay, std::chrono::milliseconds length,
                       const QString& caller, Done done) = 0;
    virtual void rename(std::uint8_t address, int relay, const QString& name, const QString& caller,
                        Done done) = 0;

  signals:
    void open_changed();
    // Its online state, relays, inputs or names.
    void board_changed(std::uint8_t address);
    // A relay seen to change, and who asked for it: "mqtt" (detail: the
    // topic), "dbus" (the caller), "pulse", "interlock", "power-on", or
    // "observed" when nobody here did.
    void relay_switched(std::uint8_t address, int relay, bool on, const QString& source,
                        const QString& detail);
};

}  // namespace tarnwick::service

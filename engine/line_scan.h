#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <optional>
#include <set>

#include "engine/address_scan.h"
#include "wire/wire.h"

namespace tarnwick::link {

// A scan on a line this program owns and has to itself: each address is
// asked as soon as the one before has answered, or has had `answer_wait_ms`
// to do so. An address that did not answer in its wait is taken as empty for
// now; its board's late answer still finds it under its own address while
// the scan runs.
class LineScan : public QObject {
    Q_OBJECT
  public:
    LineScan(Wire& wire, int first, int last, int answer_wait_ms, QObject* parent = nullptr);

    // False when the port is not open.
    bool start();

  signals:
    void found(int address, int relays);
    // A board answered the scan's query with a refusal (a Modbus board with
    // fewer coils than a status reads): there is a board, its relays unknown.
    void found_refusing(int address, const QString& why);
    // Every address asked; not told when the port went away first.
    void ended();

  private:
    void next_turn();
    void on_answer(const protocol::Frame& status, const std::optional<protocol::Frame>& asked);
    void on_refused(const protocol::Frame& asked, std::uint8_t function, std::uint8_t exception);
    void answered(std::uint8_t address);

    Wire& wire_;
    AddressScan scan_;
    int wait_ms_;
    QTimer timer_;
    std::set<std::uint8_t> refusing_;  // told once each
};

}  // namespace tarnwick::link

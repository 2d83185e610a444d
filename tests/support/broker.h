#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "mqtt/client.h"

namespace tarnwick::test {

// A mosquitto broker of the test's own, never the system's: a plain and a TLS
// listener on free loopback ports, no anonymous access, two users from a
// password file made with mosquitto_passwd, and a CA, a server certificate
// for "localhost" and a second, unrelated CA made with openssl. Nothing is
// kept across a restart (no persistence). It queues up to 100,000 messages
// per client, as the README's broker configuration does. Every wait is bounded; the broker
// dies with the test process. Throws std::runtime_error when it cannot start.
class Broker {
  public:
    static constexpr const char* cabinet_user = "cabinet";
    static constexpr const char* cabinet_password = "cabinet-pw";
    // The dashboard's account, used by the test's own mosquitto_pub/_sub.
    static constexpr const char* dashboard_user = "dashboard";
    static constexpr const char* dashboard_password = "dashboard-pw";

    Broker();
    ~Broker();
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    [[nodiscard]] int port() const { return port_; }
    [[nodiscard]] int tls_port() const { return tls_port_; }
    [[nodiscard]] QString ca_file() const { return dir_.filePath("ca.crt"); }
    [[nodiscard]] QString wrong_ca_file() const { return dir_.filePath("wrong-ca.crt"); }

    // Ends the broker (SIGTERM, then SIGKILL after 5 s) and starts it again on
    // the same ports; start() waits until both listeners take connections.
    void stop();
    void start();

    // mosquitto_pub as the dashboard. True when it went out.
    bool publish(const QString& topic, const QByteArray& payload, bool retain) const;
    // The message the broker keeps on a topic, read by a fresh mosquitto_sub;
    // nothing when there is none.
    [[nodiscard]] std::optional<QByteArray> retained(const QString& topic) const;
    // Reads retained() until it is `expected` or the time is up.
    bool wait_retained(const QString& topic, const QByteArray& expected, int timeout_ms) const;

    // What the broker logged so far, for failure messages.
    [[nodiscard]] QString log() const;
    // The topic filters the client with this id has subscribed to so far.
    [[nodiscard]] QStringList subscriptions(const QString& client_id) const;

  private:
    void make_files();
    QTemporaryDir dir_;
    QProcess process_;
    int port_ = 0;
    int tls_port_ = 0;
};

// A DNS server that never answers: a UDP socket on port 53 of a loopback
// address that reads nothing, and a resolv.conf that names it with a 30 s
// timeout. wrap() runs a program in a mount namespace of its own where that
// file is /etc/resolv.conf, so that every lookup of a host name that is not
// in /etc/hosts hangs for 30 s; nothing leaves the machine. Needs root and
// unshare(1): usable() says whether it was set up.
class SilentResolver {
  public:
    SilentResolver();
    ~SilentResolver();
    SilentResolver(const SilentResolver&) = delete;
    SilentResolver& operator=(const SilentResolver&) = delete;

    [[nodiscard]] bool usable() const { return fd_ >= 0; }
    // The program and arguments to start instead of `program arguments`.
    [[nodiscard]] std::pair<QString, QStringList> wrap(const QString& program,
                                                       const QStringList& arguments) const;

  private:
    QTemporaryDir dir_;
    int fd_ = -1;
};

// Options of a client that connects to the broker's plain listener as the
// cabinet's user, for cabinet `node`.
[[nodiscard]] mqtt::ClientOptions cabinet_options(const Broker& broker, const std::string& node);
// The same as the dashboard's user; `node` only makes its client id.
[[nodiscard]] mqtt::ClientOptions dashboard_options(const Broker& broker, const std::string& node);

// What a client said, as it said it, for as long as the recorder lives.
struct Recorder {
    explicit Recorder(mqtt::Client& client);
    // Reports containing `part`, with their times.
    [[nodiscard]] std::vector<std::pair<qint64, QString>> reported(const QString& part) const;
    [[nodiscard]] QString all_reports() const;
    // The messages on `topic`, in order.
    [[nodiscard]] std::vector<mqtt::Message> on(const std::string& topic) const;

    QObject context;
    QElapsedTimer clock;
    int connects = 0;
    int disconnects = 0;
    std::vector<mqtt::Message> messages;
    std::vector<std::pair<qint64, QString>> reports;
};

}  // namespace tarnwick::test

#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "mqtt/options.h"

struct mosquitto;

namespace tarnwick::mqtt {

// A message as it came from the broker. `retained` is the flag as its
// publisher set it: subscriptions ask the broker to keep it as published,
// live messages included.
struct Message {
    std::string topic;
    std::string payload;
    bool retained = false;
};

// The connection of one cabinet to its broker, owned by one thread: the one
// that holds the serial port. libmosquitto does the network I/O on a thread
// of its own and reconnects by itself, waiting longer each time, after a lost
// connection. Its callbacks only copy what came and post it to this object's
// thread, where every signal is emitted. Each attempt (host name lookup, TCP,
// TLS) runs on a thread of its own; nothing here blocks this object's thread
// but stop(), for at most its timeout.
//
// Every connection publishes "online" retained on tarnwick/<node>/status and
// leaves "offline" retained there as its last will; MQTT 5, a clean start
// each time, so nothing the broker kept for an earlier session comes back.
// A refused connection (wrong password: "not authorised") or a failed TLS
// handshake ends libmosquitto's attempts; this class then waits
// retry_delay_s() and tries again, and says so. With TLS on, there is never a
// plain-text attempt.
class Client : public QObject {
    Q_OBJECT
  public:
    enum class State { stopped, connecting, connected, waiting };

    // Told to the broker on connect (MQTT 5 Maximum Packet Size): it drops a
    // larger message for us instead of making us read it whole into memory.
    // Sets and names are a few bytes; a discovery config is a few KB.
    static constexpr int max_packet_bytes = 64 * 1024;

    // The options must have passed options_problem().
    explicit Client(ClientOptions options, QObject* parent = nullptr);
    // Without stop(): the broker is told to publish the last will.
    ~Client() override;

    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Starts connecting; connected() follows once the broker has accepted.
    void start();

    // Publishes with QoS 1 while connected; returns false, and drops the
    // message, while not: connected() is the time to publish what matters.
    bool publish(const std::string& topic, const std::string& payload, bool retained);

    // Filters are kept and subscribed again after every reconnect (QoS 1).
    void subscribe(const std::string& filter);
    void unsubscribe(const std::string& filter);

    // Publishes "offline" retained on the node status, waits until the broker
    // has acknowledged it (at most `timeout`), disconnects cleanly (no last
    // will) and ends the network thread. True when "offline" was delivered.
    bool stop(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));

    [[nodiscard]] State state() const { return state_; }
    [[nodiscard]] const ClientOptions& options() const { return options_; }

  signals:
    // Each time a connection is accepted, after "online" and the
    // subscriptions have been sent: publish the retained state again.
    void connected();
    // The connection is gone; libmosquitto or this class tries again.
    void disconnected();
    void message_received(const tarnwick::mqtt::Message& message);
    // What happened, for the operator's log, one sentence: connecting,
    // connected, lost, refused, TLS failures, the next attempt's wait.
    void report(const QString& text);

  private:
    // Posted from libmosquitto's thread, run on this object's thread.
    void on_accepted();
    void on_refused(int reason);
    void on_lost(int error, int system_error);
    void on_error_log(const QString& text);
    [[nodiscard]] QString loss_reason(int error, int system_error) const;

    struct Attempt {
        std::mutex mutex;
        bool abandoned = false;  // its thread frees the mosquitto object
    };
    void attempt();
    void attempted(const std::shared_ptr<Attempt>& which, int error, int system_error,
                   const QString& logged);
    bool abandon_attempt();
    void retry_later(const QString& why);
    void end_network_thread(bool cancel);
    [[nodiscard]] QString where() const;
    [[nodiscard]] QString failure_text(const QString& detail) const;

    friend struct ClientCallbacks;  // libmosquitto's callbacks (client.cpp)

    ClientOptions options_;
    mosquitto* mosq_ = nullptr;
    State state_ = State::stopped;
    bool thread_running_ = false;
    int setup_error_ = 0;               // libmosquitto's error from the TLS settings
    int failures_ = 0;                  // failed attempts since the last accepted connection
    std::shared_ptr<Attempt> attempt_;  // under way on its own thread
    QElapsedTimer connected_since_;
    QTimer retry_timer_;
    QTimer slow_connect_timer_;
    std::set<std::string> subscriptions_;

    // stop() waits here for the broker's acknowledgement of "offline".
    std::mutex acked_mutex_;
    std::condition_variable acked_changed_;
    bool collecting_acks_ = false;
    std::vector<int> acked_;
};

}  // namespace tarnwick::mqtt

Q_DECLARE_METATYPE(tarnwick::mqtt::Message)

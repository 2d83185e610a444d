#include "mqtt/client.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "mqtt/topics.h"

namespace tarnwick::mqtt {

namespace {

constexpr int qos = 1;
// How long a first connection may take before the operator hears that it is
// still being tried.
constexpr int slow_connect_ms = 10000;
// A connection the broker closes this soon after accepting it may have been
// taken over by a client with the same id.
constexpr int taken_over_hint_ms = 5000;

void init_library_once() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

// Errors after which libmosquitto's network thread gives up instead of
// reconnecting (its loop ends on them).
bool ends_network_loop(int error) {
    switch (error) {
        case MOSQ_ERR_NOMEM:
        case MOSQ_ERR_PROTOCOL:
        case MOSQ_ERR_INVAL:
        case MOSQ_ERR_NOT_FOUND:
        case MOSQ_ERR_TLS:
        case MOSQ_ERR_PAYLOAD_SIZE:
        case MOSQ_ERR_NOT_SUPPORTED:
        case MOSQ_ERR_AUTH:
        case MOSQ_ERR_ACL_DENIED:
        case MOSQ_ERR_UNKNOWN:
        case MOSQ_ERR_EAI:
        case MOSQ_ERR_PROXY:
            return true;
        default:
            return false;
    }
}

// libmosquitto's words for an error, or for the reason code of a broker's
// DISCONNECT (128 and up), as part of a sentence. MOSQ_ERR_ERRNO means the
// system error in system_error, read on the thread the call failed on.
QString error_text(int error, int system_error = errno) {
    QString text;
    if (error >= 128)
        text = QString::fromUtf8(mosquitto_reason_string(error));
    else if (error == MOSQ_ERR_ERRNO)
        text = QString::fromLocal8Bit(std::strerror(system_error));
    else if (error == MOSQ_ERR_EAI)
        text = "the host name cannot be resolved";
    else
        text = QString::fromUtf8(mosquitto_strerror(error));
    if (text.endsWith('.')) text.chop(1);
    if (!text.isEmpty()) text[0] = text[0].toLower();
    return text;
}

// Set on the thread that makes a connection attempt: what libmosquitto logs
// there goes to the attempt's failure message.
thread_local QString* attempt_log = nullptr;

// Callbacks run on libmosquitto's thread with cancellation off: its thread
// may be cancelled by a final stop, never inside Qt.
class NoCancel {
  public:
    NoCancel() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_); }
    ~NoCancel() { pthread_setcancelstate(old_, nullptr); }
    NoCancel(const NoCancel&) = delete;
    NoCancel& operator=(const NoCancel&) = delete;

  private:
    int old_ = 0;
};

}  // namespace

// libmosquitto's callbacks: copy what came, post it to the client's thread.
struct ClientCallbacks {
    template <class F>
    static void post(void* self, F f) {
        auto* client = static_cast<Client*>(self);
        QMetaObject::invokeMethod(client, std::move(f), Qt::QueuedConnection);
    }

    static void on_connect(mosquitto*, void* self, int reason, int, const mosquitto_property*) {
        NoCancel no_cancel;
        auto* client = static_cast<Client*>(self);
        if (reason == 0)
            post(self, [client] { client->on_accepted(); });
        else
            post(self, [client, reason] { client->on_refused(reason); });
    }

    static void on_disconnect(mosquitto*, void* self, int error, const mosquitto_property*) {
        NoCancel no_cancel;
        auto* client = static_cast<Client*>(self);
        // errno belongs to this thread: it is read here, not where on_lost runs.
        const int system_error = errno;
        post(self, [client, error, system_error] { client->on_lost(error, system_error); });
    }

    static void on_message(mosquitto*, void* self, const mosquitto_message* m,
                           const mosquitto_property*) {
        NoCancel no_cancel;
        auto* client = static_cast<Client*>(self);
        Message message;
        message.topic = m->topic ? m->topic : "";
        if (m->payload && m->payloadlen > 0)
            message.payload.assign(static_cast<const char*>(m->payload),
                                   static_cast<std::size_t>(m->payloadlen));
        message.retained = m->retain;
        post(self,
             [client, message = std::move(message)] { emit client->message_received(message); });
    }

    static void on_publish(mosquitto*, void* self, int mid) {
        NoCancel no_cancel;
        auto* client = static_cast<Client*>(self);
        {
            std::lock_guard lock(client->acked_mutex_);
            if (!client->collecting_acks_) return;
            client->acked_.push_back(mid);
        }
        client->acked_changed_.notify_all();
    }

    static void on_log(mosquitto*, void* self, int level, const char* text) {
        if (level != MOSQ_LOG_ERR) return;
        NoCancel no_cancel;
        const QString line = QString::fromUtf8(text);
        // During an attempt, on its own thread: kept for its failure message.
        // The client may be gone by then; it is not touched.
        if (attempt_log) {
            if (attempt_log->isEmpty()) *attempt_log = line;
            return;
        }
        auto* client = static_cast<Client*>(self);
        post(self, [client, line] { client->on_error_log(line); });
    }
};

Client::Client(ClientOptions options, QObject* parent)
    : QObject(parent), options_(std::move(options)) {
    init_library_once();
    retry_timer_.setSingleShot(true);
    connect(&retry_timer_, &QTimer::timeout, this, [this] {
        state_ = State::connecting;
        attempt();
    });
    slow_connect_timer_.setSingleShot(true);
    connect(&slow_connect_timer_, &QTimer::timeout, this, [this] {
        if (state_ == State::connecting)
            emit report(QString("no connection to %1 yet; still trying").arg(where()));
    });

    mosq_ = mosquitto_new(client_id(options_.node).c_str(), true, this);
    if (!mosq_) return;  // out of memory; start() says so
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // Commands and answers are a few bytes each: send them at once.
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_reconnect_delay_set(mosq_, static_cast<unsigned>(options_.retry_min_s),
                                  static_cast<unsigned>(options_.retry_max_s), true);
    if (!options_.username.empty())
        mosquitto_username_pw_set(mosq_, options_.username.c_str(),
                                  options_.password ? options_.password->c_str() : nullptr);
    const std::string status = node_status_topic(options_.node);
    mosquitto_will_set(mosq_, status.c_str(), static_cast<int>(offline_payload.size()),
                       offline_payload.data(), qos, true);
    if (!options_.tls_ca.empty()) {
        setup_error_ =
            mosquitto_tls_set(mosq_, options_.tls_ca.c_str(), nullptr, nullptr, nullptr, nullptr);
        // Certificate chain checked always; the host name unless --insecure.
        if (!setup_error_) setup_error_ = mosquitto_tls_opts_set(mosq_, 1, nullptr, nullptr);
        if (!setup_error_) setup_error_ = mosquitto_tls_insecure_set(mosq_, options_.insecure);
    }
    mosquitto_connect_v5_callback_set(mosq_, &ClientCallbacks::on_connect);
    mosquitto_disconnect_v5_callback_set(mosq_, &ClientCallbacks::on_disconnect);
    mosquitto_message_v5_callback_set(mosq_, &ClientCallbacks::on_message);
    mosquitto_publish_callback_set(mosq_, &ClientCallbacks::on_publish);
    mosquitto_log_callback_set(mosq_, &ClientCallbacks::on_log);
}

Client::~Client() {
    if (abandon_attempt() || !mosq_) return;
    if (state_ != State::stopped) {
        // Gone without stop(): ask the broker for the last will.
        mosquitto_disconnect_v5(mosq_, MQTT_RC_DISCONNECT_WITH_WILL_MSG, nullptr);
        end_network_thread(state_ != State::connected);
    }
    mosquitto_destroy(mosq_);
}

QString Client::where() const {
    return QString("%1:%2")
        .arg(QString::fromStdString(options_.broker.host))
        .arg(options_.broker.port);
}

void Client::start() {
    if (state_ != State::stopped) return;
    if (!mosq_) {
        emit report("cannot set up the MQTT client: out of memory");
        return;
    }
    if (setup_error_) {
        emit report(QString("cannot use the CA file %1: %2")
                        .arg(QString::fromStdString(options_.tls_ca), error_text(setup_error_)));
        return;
    }
    emit report(QString("connecting to %1 as %2%3")
                    .arg(where(), QString::fromStdString(client_id(options_.node)),
                         options_.tls_ca.empty() ? QString() : QString(" over TLS")));
    state_ = State::connecting;
    attempt();
}

// An attempt runs on a thread of its own: the lookup of the host name, the
// TCP connection and the TLS handshake can each take minutes (no DNS, a
// dead VPN, a host that does not answer), and the owner's thread polls the
// serial line meanwhile. Its result comes back as attempted(). The blocking
// connect is the one that takes CONNECT properties; libmosquitto keeps them
// for its own reconnects.
void Client::attempt() {
    auto pending = std::make_shared<Attempt>();
    attempt_ = pending;
    mosquitto_property* properties = nullptr;
    mosquitto_property_add_int32(&properties, MQTT_PROP_MAXIMUM_PACKET_SIZE, max_packet_bytes);
    std::thread([this, pending, properties, mosq = mosq_, host = options_.broker.host,
                 port = options_.broker.port, keepalive = options_.keepalive_s]() mutable {
        QString logged;
        attempt_log = &logged;
        const int error =
            mosquitto_connect_bind_v5(mosq, host.c_str(), port, keepalive, nullptr, properties);
        const int system_error = errno;
        attempt_log = nullptr;
        mosquitto_property_free_all(&properties);
        std::lock_guard lock(pending->mutex);
        if (pending->abandoned) {
            mosquitto_destroy(mosq);  // the client is gone; this closes the socket
            return;
        }
        QMetaObject::invokeMethod(
            this,
            [this, pending, error, system_error, logged] {
                attempted(pending, error, system_error, logged);
            },
            Qt::QueuedConnection);
    }).detach();
    slow_connect_timer_.start(slow_connect_ms);
}

void Client::attempted(const std::shared_ptr<Attempt>& which, int error, int system_error,
                       const QString& logged) {
    if (which != attempt_) return;
    attempt_.reset();
    if (error != MOSQ_ERR_SUCCESS) {
        const QString detail = logged.isEmpty() ? error_text(error, system_error) : logged;
        retry_later(QString("cannot connect to %1: %2").arg(where(), failure_text(detail)));
        return;
    }
    if (!thread_running_) thread_running_ = mosquitto_loop_start(mosq_) == MOSQ_ERR_SUCCESS;
}

// An attempt still under way is left to end by itself, however long it
// takes: its thread then frees the mosquitto object. True when there was one.
bool Client::abandon_attempt() {
    if (!attempt_) return false;
    {
        std::lock_guard lock(attempt_->mutex);
        attempt_->abandoned = true;
    }
    attempt_.reset();
    mosq_ = nullptr;
    return true;
}

QString Client::failure_text(const QString& detail) const {
    if (detail.contains("host name verification failed"))
        return QString(
                   "TLS: the broker's certificate is not for the host \"%1\" "
                   "(--insecure skips this check only)")
            .arg(QString::fromStdString(options_.broker.host));
    if (detail.contains("certificate verify failed"))
        return QString("TLS: the broker's certificate is not signed by the CA in %1")
            .arg(QString::fromStdString(options_.tls_ca));
    return detail;
}

void Client::on_accepted() {
    if (state_ == State::stopped || state_ == State::waiting) return;
    state_ = State::connected;
    connected_since_.start();
    failures_ = 0;
    slow_connect_timer_.stop();
    const std::string status = node_status_topic(options_.node);
    mosquitto_publish(mosq_, nullptr, status.c_str(), static_cast<int>(online_payload.size()),
                      online_payload.data(), qos, true);
    for (const std::string& filter : subscriptions_)
        mosquitto_subscribe_v5(mosq_, nullptr, filter.c_str(), qos,
                               MQTT_SUB_OPT_RETAIN_AS_PUBLISHED, nullptr);
    emit report(QString("connected to %1").arg(where()));
    emit connected();
}

void Client::on_refused(int reason) {
    if (state_ == State::stopped || state_ == State::waiting) return;
    QString why;
    switch (reason) {
        case CONNACK_REFUSED_BAD_USERNAME_PASSWORD:
        case CONNACK_REFUSED_NOT_AUTHORIZED:
        case MQTT_RC_BAD_USERNAME_OR_PASSWORD:
        case MQTT_RC_NOT_AUTHORIZED:
            why = "not authorised (check --username and the password)";
            break;
        default:
            why = QString::fromUtf8(mosquitto_reason_string(reason)).toLower();
    }
    retry_later(QString("%1 refused the connection: %2").arg(where(), why));
}

void Client::on_lost(int error, int system_error) {
    if (state_ != State::connected && state_ != State::connecting) return;
    const bool was_connected = state_ == State::connected;
    if (ends_network_loop(error)) {
        retry_later(
            QString("lost the connection to %1: %2").arg(where(), error_text(error, system_error)));
        return;
    }
    state_ = State::connecting;
    if (was_connected) {
        const QString why = loss_reason(error, system_error);
        emit report(QString("lost the connection to %1%2; reconnecting").arg(where(), why));
        emit disconnected();
    }
}

// Two clients with one id push each other off the broker in turn. An MQTT 5
// broker may say so (session taken over); Mosquitto 2.0 just closes the
// connection, soon after it accepted it.
QString Client::loss_reason(int error, int system_error) const {
    const QString id = QString::fromStdString(client_id(options_.node));
    if (error == MQTT_RC_SESSION_TAKEN_OVER)
        return QString(
                   " (session taken over: another client connected as %1; one serve per "
                   "--node)")
            .arg(id);
    if (error != MOSQ_ERR_CONN_LOST) return " (" + error_text(error, system_error) + ")";
    if (connected_since_.isValid() && connected_since_.elapsed() < taken_over_hint_ms)
        return QString(
                   " (the broker closed it %1 s after accepting it: another client "
                   "connecting as %2 takes the session over this way)")
            .arg(connected_since_.elapsed() / 1000.0, 0, 'f', 1)
            .arg(id);
    return {};
}

void Client::on_error_log(const QString& text) {
    if (state_ == State::connecting)
        retry_later(QString("cannot connect to %1: %2").arg(where(), failure_text(text)));
    else if (state_ == State::connected)
        emit report(QString("%1: %2").arg(where(), text));
}

void Client::retry_later(const QString& why) {
    if (state_ == State::stopped || state_ == State::waiting || attempt_) return;
    const bool was_connected = state_ == State::connected;
    state_ = State::waiting;
    slow_connect_timer_.stop();
    mosquitto_disconnect(mosq_);  // also ends a loop that is reconnecting
    end_network_thread(false);
    ++failures_;
    const int delay = retry_delay_s(failures_, options_.retry_min_s, options_.retry_max_s);
    emit report(QString("%1; trying again in %2 s").arg(why).arg(delay));
    if (was_connected) emit disconnected();
    retry_timer_.start(delay * 1000);
}

// Waits for libmosquitto's thread to end after a disconnect. A final stop
// that was still connecting cancels it instead: its loop may sit in a blocking
// connect() to a host that does not answer, for minutes. A retry never
// cancels: the object is used again.
void Client::end_network_thread(bool cancel) {
    if (!thread_running_) return;
    mosquitto_loop_stop(mosq_, cancel);
    thread_running_ = false;
}

bool Client::publish(const std::string& topic, const std::string& payload, bool retained) {
    if (state_ != State::connected) return false;
    return mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), qos, retained) == MOSQ_ERR_SUCCESS;
}

void Client::subscribe(const std::string& filter) {
    if (!subscriptions_.insert(filter).second) return;
    if (state_ == State::connected)
        mosquitto_subscribe_v5(mosq_, nullptr, filter.c_str(), qos,
                               MQTT_SUB_OPT_RETAIN_AS_PUBLISHED, nullptr);
}

void Client::unsubscribe(const std::string& filter) {
    if (subscriptions_.erase(filter) == 0) return;
    if (state_ == State::connected) mosquitto_unsubscribe(mosq_, nullptr, filter.c_str());
}

bool Client::stop(std::chrono::milliseconds timeout) {
    if (state_ == State::stopped) return false;
    retry_timer_.stop();
    slow_connect_timer_.stop();
    bool delivered = false;
    const bool was_connected = state_ == State::connected;
    if (was_connected) {
        {
            std::lock_guard lock(acked_mutex_);
            collecting_acks_ = true;
            acked_.clear();
        }
        int mid = 0;
        const std::string status = node_status_topic(options_.node);
        if (mosquitto_publish(mosq_, &mid, status.c_str(), static_cast<int>(offline_payload.size()),
                              offline_payload.data(), qos, true) == MOSQ_ERR_SUCCESS) {
            std::unique_lock lock(acked_mutex_);
            delivered = acked_changed_.wait_for(lock, timeout, [&] {
                return std::find(acked_.begin(), acked_.end(), mid) != acked_.end();
            });
        }
        std::lock_guard lock(acked_mutex_);
        collecting_acks_ = false;
    }
    state_ = State::stopped;
    if (!abandon_attempt()) {
        mosquitto_disconnect(mosq_);
        end_network_thread(!was_connected);
    }
    if (delivered)
        emit report(QString("said offline and disconnected from %1").arg(where()));
    else if (was_connected)
        emit report(QString("disconnected from %1 without its word that it took \"offline\"; "
                            "the last will says it when the broker notices")
                        .arg(where()));
    else
        emit report("stopped");
    return delivered;
}

}  // namespace tarnwick::mqtt

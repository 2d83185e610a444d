#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QStringList>
#include <QVariantMap>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "attach/contract.h"

// A tarnwickd that holds a device: the panel and tarnwick-ctl use its line
// through the bus instead of opening the device a second time.
namespace tarnwick::attach {

// How long a caller waits for a service before opening the device itself.
inline constexpr int find_timeout_ms = 300;

// find_timeout_ms, or $TARNWICK_SERVICE_WAIT_MS (at most 10 s) for a slow
// machine or a test build with sanitizers.
[[nodiscard]] int find_wait_ms();

// The service replies to a switch once the board confirmed, after its own
// wait; a caller's wait only guards against a service that hangs.
inline constexpr int reply_timeout_ms = 5000;

// The bus named by $TARNWICK_BUS, else the system bus.
[[nodiscard]] QDBusConnection service_bus();

struct HeldLine {
    QString path;  // the line's object
    QString name;
    QString device;  // as the service's configuration names it
    bool open = false;
    std::map<int, QString> boards;  // address -> the board's object

    [[nodiscard]] QString board_list() const;  // "1, 2, 9"
};

// The line of a running tarnwickd whose device is `device`, links resolved
// on both sides (a name under /dev/serial/by-id and its /dev/ttyUSB0 are one
// device); nothing when no service answers within `timeout_ms`.
[[nodiscard]] std::optional<HeldLine> find_holder(const QDBusConnection& bus, const QString& device,
                                                  int timeout_ms = find_timeout_ms);

// Why the service did not do a call.
enum class Refusal {
    none,
    not_confirmed,     // the board answered, but not the requested state
    offline,           // the board does not answer
    invalid_argument,  // no such relay, a name that cannot be stored
    interlock,         // its group would have two on, or was not seen released
    denied,            // the bus refused the caller (not in the group tarnwick)
    no_answer,         // the service did not reply in time
    gone,              // no service on the bus
    failed,
};

struct CallResult {
    Refusal refusal = Refusal::none;
    QString message;  // the service's or the bus's words
    [[nodiscard]] bool ok() const { return refusal == Refusal::none; }
};

// The reason as the panel says it.
[[nodiscard]] QString refusal_text(Refusal refusal);

// The schedules and scenes of the running service.
struct ScheduleInfo {
    QString name;
    bool enabled = false;
    bool active = false;
    quint64 next_change = 0;  // µs since the epoch; 0: none
};
struct TimeObjects {
    CallResult result;                    // gone: no service on the bus
    std::vector<ScheduleInfo> schedules;  // by name
    QStringList scenes;                   // by name
};
[[nodiscard]] TimeObjects list_time_objects(const QDBusConnection& bus,
                                            int timeout_ms = reply_timeout_ms);
// invalid_argument: the service has no schedule of that name.
CallResult enable_schedule(const QDBusConnection& bus, const QString& name, bool enabled,
                           int timeout_ms = reply_timeout_ms);
// The relays the scene left unconfirmed ("LINE/ADDRESS/RELAY: why"), when
// the service did it; invalid_argument: it has no scene of that name.
struct SceneResult {
    CallResult result;
    QStringList failed;
};
SceneResult apply_scene(const QDBusConnection& bus, const QString& name,
                        int timeout_ms = scene_timeout_ms);

struct BoardProperties {
    bool online = false;
    quint16 relays = 0;
    QStringList names;  // 16, or empty when the service sent something else
    quint16 inputs = 0;       // bit n-1: input n; 0 while offline
    quint16 input_count = 0;  // 0..16; 0 also from a service without inputs
    QString protocol;         // its line's family: "native", "modbus", or unsaid
};

// One board of a held line: its properties, kept current from
// PropertiesChanged, and its methods.
class BoardClient : public QObject {
    Q_OBJECT
  public:
    BoardClient(QDBusConnection bus, QString path, QObject* parent = nullptr);
    ~BoardClient() override;

    // Reads every property anew.
    CallResult read(int timeout_ms = find_timeout_ms);
    [[nodiscard]] const BoardProperties& properties() const { return properties_; }
    [[nodiscard]] const QString& path() const { return path_; }

    // Waits for the service's reply, which comes once the board confirmed.
    CallResult switch_relay(int relay, bool on, int timeout_ms);
    CallResult switch_all(bool on, int timeout_ms);
    CallResult rename(int relay, const QString& name, int timeout_ms);
    // On now, off after `seconds`, kept by the service whatever happens here.
    CallResult pulse(int relay, double seconds, int timeout_ms);
    // The same without waiting: `done` is called once, from the event loop.
    void call_async(const QString& member, const QVariantList& args, int timeout_ms,
                    const std::function<void(const CallResult&)>& done);

  signals:
    // Properties changed on the service's side; properties() has them.
    void changed();
    // A relay seen to change, and who asked: "mqtt", "dbus", "pulse",
    // "interlock", "power-on" or "observed", with the topic or the caller.
    void switched(int relay, bool on, const QString& source, const QString& detail);

  private slots:
    void on_properties_changed(const QString& interface, const QVariantMap& changed,
                               const QStringList& invalidated);
    void on_switched(uchar relay, bool on, const QString& source, const QString& detail);

  private:
    void take(const QVariantMap& values);
    CallResult call(const QString& member, const QVariantList& args, int timeout_ms);

    QDBusConnection bus_;
    QString path_;
    BoardProperties properties_;
};

}  // namespace tarnwick::attach

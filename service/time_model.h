#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

// What the bus shows of the schedules and scenes and asks of them. The
// service's timekeeping implements it (service/schedules.h); the bus objects
// know only this.
namespace tarnwick::service {

struct ScheduleView {
    QString name;
    bool enabled = true;
    bool active = false;           // inside its window now; never for an event
    std::uint64_t next_change = 0; // µs since the epoch; 0: none
};

class TimeModel : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;

    [[nodiscard]] virtual QStringList schedule_names() const = 0;
    [[nodiscard]] virtual std::optional<ScheduleView> schedule(const QString& name) const = 0;
    // False for a name not configured. Kept across restarts.
    virtual bool enable(const QString& name, bool enabled, const QString& caller) = 0;

    [[nodiscard]] virtual QStringList scene_names() const = 0;
    // `done` once, later or at once, with the relays not confirmed
    // ("LINE/ADDRESS/RELAY: why"); empty when all are as the scene says.
    // False, and `done` never called, for a name not configured.
    using Applied = std::function<void(const QStringList& failed)>;
    virtual bool apply_scene(const QString& name, const QString& caller, Applied done) = 0;

  signals:
    // Its Enabled, Active or NextChange changed.
    void schedule_changed(const QString& name);
};

}  // namespace tarnwick::service

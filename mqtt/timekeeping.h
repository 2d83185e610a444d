#pragma once

#include <QObject>
#include <string>
#include <vector>

// The schedules and scenes a broker bridge offers under its node: the line's
// owner keeps them; the bridge publishes and forwards.
namespace tarnwick::mqtt {

class Timekeeping : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;

    struct Schedule {
        std::string name;
        bool enabled = true;
    };
    // Those under this bridge's node, by name.
    [[nodiscard]] virtual std::vector<std::string> scenes() const = 0;
    [[nodiscard]] virtual std::vector<Schedule> schedules() const = 0;
    // Both ignore a name not among them.
    virtual void apply_scene(const std::string& name) = 0;
    virtual void enable_schedule(const std::string& name, bool enabled) = 0;

  signals:
    void schedule_changed(const QString& name, bool enabled);
};

}  // namespace tarnwick::mqtt

#pragma once

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QPointer>
#include <QVariantMap>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "attach/contract.h"
#include "service/line_model.h"
#include "service/time_model.h"

// The lines and boards on D-Bus: org.freedesktop.DBus.ObjectManager at the
// root, org.tarnwick.Tarnwick1.Line per line, org.tarnwick.Tarnwick1.Board per
// board, org.tarnwick.Tarnwick1.Schedule and .Scene per schedule and scene,
// with PropertiesChanged for every change. One virtual object serves
// the whole tree, so lines can come and go without registering objects.
namespace tarnwick::service {

using attach::board_interface;
using attach::bus_name;
using attach::line_interface;
using attach::path_element;
using attach::root_path;
using attach::scene_interface;
using attach::schedule_interface;

class BusObjects : public QDBusVirtualObject {
    Q_OBJECT
  public:
    explicit BusObjects(QDBusConnection connection, QObject* parent = nullptr);
    ~BusObjects() override;

    // Registers the tree at root_path; false when the path is taken.
    bool register_tree();
    // The line's objects appear (InterfacesAdded) or go (InterfacesRemoved).
    void add_line(LineModel* line);
    void remove_line(LineModel* line);
    // The schedules and scenes, or none (null); the old model's objects go,
    // the new one's appear.
    void set_time_model(TimeModel* model);

    QString introspect(const QString& path) const override;

  signals:
    // Something worth the journal.
    void report(const QString& text);

  private slots:
    void name_owner_changed(const QString& name, const QString& old_owner,
                            const QString& new_owner);

  public:
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

  private:
    struct Target {
        LineModel* line = nullptr;
        std::optional<std::uint8_t> board;
        QString schedule;      // the name, for a schedule's object
        QString scene;         // the name, for a scene's object
        QStringList children;  // the path's child nodes
        bool exists = false;
    };
    Target resolve(const QString& path) const;
    QString line_path(const LineModel& line) const;
    QString board_path(const LineModel& line, std::uint8_t address) const;
    bool resolve_time(const QStringList& parts, Target& target) const;
    QString time_path(const char* node, const QString& name) const;
    static const char* interface_of(const Target& target);
    QVariantMap properties(const Target& target) const;
    QVariantMap time_properties(const Target& target) const;
    bool properties_call(const QDBusMessage& message, const Target& target);
    void board_call(const QDBusMessage& message, const Target& target);
    void time_call(const QDBusMessage& message, const Target& target);
    // The caller's "uid N"; nothing while the bus is asked, the call kept
    // until it answers.
    std::optional<QString> caller(const QDBusMessage& message);
    void time_objects_added(bool added);
    void schedule_changed(const QString& name);
    void ask_uid(const QString& name);
    void refuse_unknown_caller(const QDBusMessage& message);
    void managed_objects(const QDBusMessage& message);
    void add_time_objects(QMap<QDBusObjectPath, QMap<QString, QVariantMap>>& objects) const;
    void board_changed(LineModel* line, std::uint8_t address);
    void properties_changed(const QString& path, const char* interface, const QVariantMap& changed);
    void interfaces_added(const Target& target, const QString& path);

    QDBusConnection connection_;
    std::vector<LineModel*> lines_;
    std::map<std::pair<LineModel*, std::uint8_t>, BoardState> shown_;  // as last signalled
    QPointer<TimeModel> time_;
    std::map<QString, ScheduleView> schedules_shown_;  // as last signalled
    static constexpr std::size_t max_known_callers = 4096;
    std::map<QString, uint> uids_;  // unique name -> the uid the bus said
    std::set<QString> asking_;
    std::map<QString, std::vector<QDBusMessage>> waiting_;  // calls before their uid came
    quint64 refused_unknown_ = 0;
    QElapsedTimer refused_told_;
};

}  // namespace tarnwick::service

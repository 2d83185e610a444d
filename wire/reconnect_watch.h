#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

namespace tarnwick::link {

// Waits for a device path to exist again after its device went away: a
// file-system watch on the nearest existing directory above it (a pulled
// adapter takes /dev/serial/by-id with it when it was the last one), and a
// poll once a second in case no notification comes. It only reports; the
// owner tries the open and stops the watch.
class ReconnectWatch : public QObject {
    Q_OBJECT
  public:
    static constexpr int poll_ms = 1000;

    explicit ReconnectWatch(QObject* parent = nullptr);

    // The first look comes with the first notification or poll, not at once:
    // a device node can outlive its device by a moment.
    void start(const QString& path);
    void stop();
    [[nodiscard]] bool active() const { return !path_.isEmpty(); }
    [[nodiscard]] const QString& path() const { return path_; }

  signals:
    // The path names something again. Repeated at every look that finds it,
    // until the watch stops.
    void present(const QString& path);

  private:
    void look();
    void watch_nearest_directory();

    QFileSystemWatcher watcher_;
    QTimer poll_;
    QString path_;
};

}  // namespace tarnwick::link

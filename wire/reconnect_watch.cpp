#include "wire/reconnect_watch.h"

#include <QDir>
#include <QFileInfo>

namespace tarnwick::link {

ReconnectWatch::ReconnectWatch(QObject* parent) : QObject(parent) {
    poll_.setInterval(poll_ms);
    connect(&poll_, &QTimer::timeout, this, &ReconnectWatch::look);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, &ReconnectWatch::look);
}

void ReconnectWatch::start(const QString& path) {
    stop();
    path_ = path;
    watch_nearest_directory();
    poll_.start();
}

void ReconnectWatch::stop() {
    poll_.stop();
    if (const QStringList watched = watcher_.directories(); !watched.isEmpty())
        watcher_.removePaths(watched);
    path_.clear();
}

void ReconnectWatch::look() {
    if (!active()) return;
    // exists() follows a symlink, so a by-id name or a link left behind by a
    // board that died counts only once its target is there.
    if (QFileInfo::exists(path_)) {
        emit present(path_);
        return;
    }
    watch_nearest_directory();
}

void ReconnectWatch::watch_nearest_directory() {
    QString directory = QFileInfo(path_).absolutePath();
    while (!QFileInfo(directory).isDir()) {
        const QString parent = QFileInfo(directory).absolutePath();
        if (parent == directory) return;
        directory = parent;
    }
    const QStringList watched = watcher_.directories();
    if (watched == QStringList{directory}) return;
    if (!watched.isEmpty()) watcher_.removePaths(watched);
    watcher_.addPath(directory);
}

}  // namespace tarnwick::link

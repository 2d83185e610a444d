#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <functional>

namespace tarnwick::test {

// Runs the event loop until the condition holds or the time is up.
inline bool wait_until(const std::function<bool()>& condition, int timeout_ms = 5000) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeout_ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

// Runs the event loop for a while.
inline void run_events_for(int ms) {
    wait_until([] { return false; }, ms);
}

}  // namespace tarnwick::test

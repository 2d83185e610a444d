#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
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

// The same with the event loop running all the while, never asleep between
// looks (QTest::qWaitFor sleeps 10 ms between its rounds): a panel whose
// timers pace a line in milliseconds keeps its own timing meanwhile.
inline bool wait_live(const std::function<bool()>& condition, int timeout_ms = 5000) {
    if (condition()) return true;
    QEventLoop loop;
    QElapsedTimer clock;
    clock.start();
    QTimer look;
    look.setTimerType(Qt::PreciseTimer);
    QObject::connect(&look, &QTimer::timeout, &loop, [&] {
        if (condition() || clock.elapsed() > timeout_ms) loop.quit();
    });
    look.start(1);
    loop.exec();
    return condition();
}

// Runs the event loop for a while, never asleep, nothing else woken.
inline void run_live_for(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop for a while.
inline void run_events_for(int ms) {
    wait_until([] { return false; }, ms);
}

}  // namespace tarnwick::test

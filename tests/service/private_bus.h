#pragma once

#include <pwd.h>
#include <unistd.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <string>

namespace tarnwick::test {

// A dbus-daemon of the test's own, ruled as the system bus is (method calls
// refused unless a policy allows them) plus the packaged policy file. The
// service under test runs as the test's user, not tarnwick: that user may
// own the name here, and nothing else is added.
class PrivateBus {
  public:
    explicit PrivateBus(const QString& policy_file) {
        dir_.setAutoRemove(true);
        QFile::setPermissions(dir_.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                               QFile::ReadGroup | QFile::ExeGroup |
                                               QFile::ReadOther | QFile::ExeOther);
        const QString user = QString::fromLocal8Bit(::getpwuid(::getuid())->pw_name);
        address_ = "unix:path=" + dir_.filePath("bus");
        QFile config(dir_.filePath("bus.conf"));
        config.open(QIODevice::WriteOnly);
        config.write(QString(R"(<busconfig>
  <listen>%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Introspectable"/>
  </policy>
  <policy user="%2"><allow own="org.tarnwick.Tarnwick1"/></policy>
  <policy user="root">
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Monitoring"/>
  </policy>
  <include>%3</include>
</busconfig>
)")
                         .arg(address_, user, policy_file)
                         .toUtf8());
        config.close();
        daemon_.start("dbus-daemon",
                      {"--nofork", "--nopidfile", "--config-file=" + config.fileName()});
        ready_ = daemon_.waitForStarted() &&
                 QTest::qWaitFor([&] { return QFile::exists(dir_.filePath("bus")); }, 10000);
    }
    ~PrivateBus() {
        daemon_.terminate();
        daemon_.waitForFinished(2000);
    }
    [[nodiscard]] bool ready() const { return ready_; }
    [[nodiscard]] const QString& address() const { return address_; }
    // Stops the daemon, as a restart of the system bus would.
    void stop() {
        daemon_.terminate();
        daemon_.waitForFinished(2000);
    }

  private:
    QTemporaryDir dir_;
    QString address_;
    QProcess daemon_;
    bool ready_ = false;
};

// busctl against the bus, optionally as another user; the event loop runs
// meanwhile, so a service in this process can answer.
struct Busctl {
    int status = -1;
    QString out;
    QString err;
};
inline Busctl busctl(const QString& address, const QStringList& args, const QString& as_user = {}) {
    QProcess process;
    QStringList all{"--address=" + address};
    all += args;
    if (as_user.isEmpty()) {
        process.start("busctl", all);
    } else {
        all.prepend("busctl");
        process.start(
            "setpriv",
            QStringList{"--reuid=" + as_user, "--regid=nogroup", "--clear-groups", "--"} + all);
    }
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 10000))
        process.kill();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()).trimmed(),
            QString::fromUtf8(process.readAllStandardError()).trimmed()};
}

}  // namespace tarnwick::test

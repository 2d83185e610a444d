#include "tests/support/broker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>
#include <csignal>
#include <stdexcept>

namespace tarnwick::test {

namespace {

constexpr int tool_timeout_ms = 10000;
constexpr int start_timeout_ms = 5000;

[[noreturn]] void fail(const QString& what) {
    throw std::runtime_error("Broker: " + what.toStdString());
}

// A loopback port nobody listens on right now.
int free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    if (port == 0) fail("no free port");
    return port;
}

bool accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// Runs a tool to its end; its output, or a failure naming it.
QByteArray run(const QString& program, const QStringList& arguments, const QString& directory) {
    QProcess tool;
    tool.setWorkingDirectory(directory);
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(program, arguments);
    if (!tool.waitForFinished(tool_timeout_ms) || tool.exitStatus() != QProcess::NormalExit ||
        tool.exitCode() != 0) {
        tool.kill();
        tool.waitForFinished(1000);
        fail(program + " " + arguments.join(' ') + " failed: " + tool.readAll());
    }
    return tool.readAll();
}

void write_file(const QString& path, const QByteArray& text) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        fail("cannot write " + path);
}

}  // namespace

Broker::Broker() {
    if (!dir_.isValid()) fail("no temporary directory");
    port_ = free_port();
    tls_port_ = free_port();
    while (tls_port_ == port_) tls_port_ = free_port();
    make_files();
    process_.setProgram("mosquitto");
    process_.setArguments({"-c", dir_.filePath("mosquitto.conf")});
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.setStandardOutputFile(dir_.filePath("mosquitto.log"), QIODevice::Append);
    // The broker never outlives the test, even one that crashes.
    process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    start();
}

Broker::~Broker() {
    stop();
}

void Broker::make_files() {
    const QString dir = dir_.path();
    // EC keys: made in milliseconds, unlike RSA ones.
    const QStringList new_key{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                              "-nodes"};
    run("openssl",
        QStringList{"req", "-x509"} + new_key +
            QStringList{"-keyout", "ca.key", "-out", "ca.crt", "-days", "2", "-subj",
                        "/CN=Tarnwick test CA"},
        dir);
    run("openssl",
        QStringList{"req", "-x509"} + new_key +
            QStringList{"-keyout", "wrong-ca.key", "-out", "wrong-ca.crt", "-days", "2", "-subj",
                        "/CN=Some other CA"},
        dir);
    run("openssl",
        QStringList{"req"} + new_key +
            QStringList{"-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=localhost"},
        dir);
    write_file(dir_.filePath("server.ext"), "subjectAltName=DNS:localhost\n");
    run("openssl",
        {"x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
         "-CAcreateserial", "-out", "server.crt", "-days", "2", "-extfile", "server.ext"},
        dir);

    run("mosquitto_passwd", {"-c", "-b", "passwd", cabinet_user, cabinet_password}, dir);
    run("mosquitto_passwd", {"-b", "passwd", dashboard_user, dashboard_password}, dir);

    // `user root` keeps a broker started by root as root, so that it can read
    // these files; a broker started by anyone else ignores it.
    const QString config = QString(R"(user root
per_listener_settings false
allow_anonymous false
password_file %1/passwd
persistence false
set_tcp_nodelay true
max_queued_messages 100000
log_dest file %1/mosquitto.log
log_type error
log_type warning
log_type notice
log_type information
log_type subscribe
listener %2 127.0.0.1
listener %3 127.0.0.1
cafile %1/ca.crt
certfile %1/server.crt
keyfile %1/server.key
)")
                               .arg(dir)
                               .arg(port_)
                               .arg(tls_port_);
    write_file(dir_.filePath("mosquitto.conf"), config.toUtf8());
}

void Broker::start() {
    process_.start();
    if (!process_.waitForStarted(start_timeout_ms)) fail("mosquitto did not start: " + log());
    const QDeadlineTimer deadline(start_timeout_ms);
    while (!(accepts(port_) && accepts(tls_port_))) {
        if (deadline.hasExpired() || process_.state() != QProcess::Running)
            fail("mosquitto does not listen: " + log());
        QThread::msleep(10);
    }
}

void Broker::stop() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.terminate();
    if (!process_.waitForFinished(5000)) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

bool Broker::publish(const QString& topic, const QByteArray& payload, bool retain) const {
    QStringList arguments{"-h", "127.0.0.1",
                          "-p", QString::number(port_),
                          "-u", dashboard_user,
                          "-P", dashboard_password,
                          "-q", "1",
                          "-t", topic,
                          "-s"};
    if (retain) arguments << "-r";
    QProcess tool;
    tool.start("mosquitto_pub", arguments);
    tool.write(payload);
    tool.closeWriteChannel();
    return tool.waitForFinished(tool_timeout_ms) && tool.exitStatus() == QProcess::NormalExit &&
           tool.exitCode() == 0;
}

std::optional<QByteArray> Broker::retained(const QString& topic) const {
    QProcess tool;
    tool.start("mosquitto_sub", {"-h", "127.0.0.1", "-p", QString::number(port_), "-u",
                                 dashboard_user, "-P", dashboard_password, "-t", topic,
                                 "--retained-only", "-C", "1", "-W", "1", "-F", "%p"});
    if (!tool.waitForFinished(tool_timeout_ms)) {
        tool.kill();
        tool.waitForFinished(1000);
        return std::nullopt;
    }
    if (tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0) return std::nullopt;
    QByteArray payload = tool.readAllStandardOutput();
    if (payload.endsWith('\n')) payload.chop(1);
    return payload;
}

bool Broker::wait_retained(const QString& topic, const QByteArray& expected, int timeout_ms) const {
    const QDeadlineTimer deadline(timeout_ms);
    while (retained(topic) != expected) {
        if (deadline.hasExpired()) return false;
        QThread::msleep(20);
    }
    return true;
}

mqtt::ClientOptions cabinet_options(const Broker& broker, const std::string& node) {
    mqtt::ClientOptions options;
    options.broker = {"127.0.0.1", broker.port()};
    options.node = node;
    options.username = Broker::cabinet_user;
    options.password = Broker::cabinet_password;
    return options;
}

mqtt::ClientOptions dashboard_options(const Broker& broker, const std::string& node) {
    mqtt::ClientOptions options = cabinet_options(broker, node);
    options.username = Broker::dashboard_user;
    options.password = Broker::dashboard_password;
    return options;
}

// log_type subscribe writes "<time>: <client id> <qos> <filter>" a filter.
QStringList Broker::subscriptions(const QString& client_id) const {
    QStringList filters;
    for (const QString& line : log().split('\n')) {
        const QStringList words = line.split(' ');
        if (words.size() == 4 && words[0].endsWith(':') && words[1] == client_id &&
            (words[2] == "0" || words[2] == "1" || words[2] == "2"))
            filters << words[3];
    }
    return filters;
}

Recorder::Recorder(mqtt::Client& client) {
    QObject::connect(&client, &mqtt::Client::connected, &context, [this] { ++connects; });
    QObject::connect(&client, &mqtt::Client::disconnected, &context, [this] { ++disconnects; });
    QObject::connect(&client, &mqtt::Client::message_received, &context,
                     [this](const mqtt::Message& m) { messages.push_back(m); });
    QObject::connect(&client, &mqtt::Client::report, &context, [this](const QString& text) {
        reports.push_back({clock.elapsed(), text});
    });
    clock.start();
}

std::vector<std::pair<qint64, QString>> Recorder::reported(const QString& part) const {
    std::vector<std::pair<qint64, QString>> found;
    for (const auto& r : reports)
        if (r.second.contains(part)) found.push_back(r);
    return found;
}

QString Recorder::all_reports() const {
    QStringList texts;
    for (const auto& r : reports) texts << r.second;
    return texts.join('\n');
}

std::vector<mqtt::Message> Recorder::on(const std::string& topic) const {
    std::vector<mqtt::Message> found;
    for (const auto& m : messages)
        if (m.topic == topic) found.push_back(m);
    return found;
}

SilentResolver::SilentResolver() {
    if (::geteuid() != 0 || !dir_.isValid() || QProcess::execute("unshare", {"-m", "true"}) != 0)
        return;
    // Some address of 127.0.0.0/8 where port 53 is free.
    for (int host = 153; host < 160 && fd_ < 0; ++host) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(53);
        address.sin_addr.s_addr = htonl((127U << 24) | static_cast<std::uint32_t>(host));
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd_);
            fd_ = -1;
            continue;
        }
        write_file(
            dir_.filePath("resolv.conf"),
            QString("nameserver 127.0.0.%1\noptions timeout:30 attempts:1\n").arg(host).toUtf8());
    }
}

SilentResolver::~SilentResolver() {
    if (fd_ >= 0) ::close(fd_);
}

std::pair<QString, QStringList> SilentResolver::wrap(const QString& program,
                                                     const QStringList& arguments) const {
    return {"unshare",
            QStringList{"-m", "sh", "-c", R"(mount --bind "$0" /etc/resolv.conf && exec "$@")",
                        dir_.filePath("resolv.conf"), program} +
                arguments};
}

QString Broker::log() const {
    QFile file(dir_.filePath("mosquitto.log"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll());
}

}  // namespace tarnwick::test

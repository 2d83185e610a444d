// The client against a real broker of the test's own: the node status and
// its last will, messages with their retain flag, a broker restart, a wrong
// password and the TLS checks.
#include "mqtt/client.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>
#include <functional>
#include <memory>

#include "mqtt/topics.h"
#include "tests/support/broker.h"
#include "tests/support/wait.h"

namespace {

using namespace tarnwick::mqtt;
using tarnwick::test::Broker;
using tarnwick::test::cabinet_options;
using tarnwick::test::Recorder;
using tarnwick::test::wait_until;

constexpr int connect_ms = 5000;

QString status_of(const std::string& node) {
    return QString::fromStdString(node_status_topic(node));
}

TEST(Client, TheNodeStatusSaysOfflineHoweverTheClientEnds) {
    Broker broker;
    struct {
        const char* way;
        bool by_probe;
        std::function<void(std::unique_ptr<Client>&)> end;
    } cases[] = {
        {"stop()", false,
         [](std::unique_ptr<Client>& client) {
             EXPECT_TRUE(client->stop());  // the broker acknowledged "offline"
             EXPECT_FALSE(client->publish("tarnwick/stop/x", "after", false));
         }},
        {"destroyed without stop()", false,
         [](std::unique_ptr<Client>& client) { client.reset(); }},
        {"killed with SIGKILL", true, nullptr},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string node = "end" + std::to_string(++n);
        std::unique_ptr<Client> client;
        QProcess probe;
        if (c.by_probe) {
            probe.start(TARNWICK_MQTT_PROBE,
                        {QString::number(broker.port()), QString::fromStdString(node),
                         Broker::cabinet_user, Broker::cabinet_password});
            ASSERT_TRUE(probe.waitForReadyRead(connect_ms))
                << c.way << probe.readAllStandardError().constData();
            EXPECT_EQ(probe.readAllStandardOutput(), "connected\n") << c.way;
        } else {
            client = std::make_unique<Client>(cabinet_options(broker, node));
            Recorder recorder(*client);
            client->start();
            ASSERT_TRUE(wait_until([&] { return recorder.connects == 1; }, connect_ms)) << c.way;
        }
        EXPECT_TRUE(broker.wait_retained(status_of(node), "online", 3000)) << c.way;
        if (c.by_probe) {
            probe.kill();
            probe.waitForFinished(3000);
        } else {
            c.end(client);
        }
        EXPECT_TRUE(broker.wait_retained(status_of(node), "offline", 3000)) << c.way;
    }
}

TEST(Client, PublishesRetainedOrNot) {
    Broker broker;
    Client client(cabinet_options(broker, "cab1"));
    Recorder recorder(client);
    EXPECT_FALSE(client.publish("tarnwick/cab1/7/availability", "online", true));  // not yet
    client.start();
    ASSERT_TRUE(wait_until([&] { return recorder.connects == 1; }, connect_ms))
        << recorder.all_reports().toStdString();
    EXPECT_TRUE(client.publish("tarnwick/cab1/7/availability", "online", true));
    EXPECT_TRUE(client.publish("tarnwick/cab1/7/error", "refused", false));
    EXPECT_TRUE(broker.wait_retained("tarnwick/cab1/7/availability", "online", 3000));
    EXPECT_EQ(broker.retained("tarnwick/cab1/7/error"), std::nullopt);
    EXPECT_FALSE(
        recorder.reported("connected to 127.0.0.1:" + QString::number(broker.port())).empty());
}

TEST(Client, ReceivesMessagesWithTheRetainFlagAsPublished) {
    Broker broker;
    const std::string filter = set_filter("cab1");
    ASSERT_TRUE(broker.publish("tarnwick/cab1/7/relay/1/set", "ON", true));  // before the start
    Client client(cabinet_options(broker, "cab1"));
    Recorder recorder(client);
    client.subscribe(filter);
    client.start();
    ASSERT_TRUE(wait_until([&] { return recorder.messages.size() == 1; }, connect_ms));
    ASSERT_TRUE(broker.publish("tarnwick/cab1/7/relay/2/set", "OFF", true));
    ASSERT_TRUE(broker.publish("tarnwick/cab1/7/relay/3/set", "ON", false));
    ASSERT_TRUE(wait_until([&] { return recorder.messages.size() == 3; }, 3000));
    struct {
        const char* topic;
        const char* payload;
        bool retained;
    } expected[] = {
        {"tarnwick/cab1/7/relay/1/set", "ON", true},   // kept by the broker
        {"tarnwick/cab1/7/relay/2/set", "OFF", true},  // live, published retained
        {"tarnwick/cab1/7/relay/3/set", "ON", false},  // live, fresh
    };
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(recorder.messages[i].topic, expected[i].topic);
        EXPECT_EQ(recorder.messages[i].payload, expected[i].payload) << expected[i].topic;
        EXPECT_EQ(recorder.messages[i].retained, expected[i].retained) << expected[i].topic;
    }

    client.unsubscribe(filter);
    tarnwick::test::run_events_for(200);
    ASSERT_TRUE(broker.publish("tarnwick/cab1/7/relay/4/set", "ON", false));
    tarnwick::test::run_events_for(500);
    EXPECT_EQ(recorder.messages.size(), 3u);
}

TEST(Client, ReconnectsAndSubscribesAgainAfterABrokerRestart) {
    Broker broker;
    Client client(cabinet_options(broker, "cab1"));
    Recorder recorder(client);
    client.subscribe(set_filter("cab1"));
    client.start();
    ASSERT_TRUE(wait_until([&] { return recorder.connects == 1; }, connect_ms));

    broker.stop();
    ASSERT_TRUE(wait_until([&] { return recorder.disconnects == 1; }, 3000));
    EXPECT_FALSE(recorder.reported("lost the connection").empty())
        << recorder.all_reports().toStdString();
    broker.start();
    // libmosquitto's first wait after a loss is the shortest, 1 s.
    ASSERT_TRUE(wait_until([&] { return recorder.connects == 2; }, 5000))
        << recorder.all_reports().toStdString();
    // The restarted broker kept nothing: the status comes from the reconnect.
    EXPECT_TRUE(broker.wait_retained(status_of("cab1"), "online", 3000));
    ASSERT_TRUE(broker.publish("tarnwick/cab1/7/relay/5/set", "OFF", false));
    ASSERT_TRUE(wait_until([&] { return recorder.messages.size() == 1; }, 3000));
    EXPECT_EQ(recorder.messages[0].topic, "tarnwick/cab1/7/relay/5/set");
}

TEST(Client, AWrongPasswordBacksOffWithAClearMessage) {
    Broker broker;
    ClientOptions options = cabinet_options(broker, "cab1");
    options.password = "wrong";
    Client client(options);
    Recorder recorder(client);
    client.start();
    ASSERT_TRUE(wait_until([&] { return recorder.reported("not authorised").size() == 2; }, 5000))
        << recorder.all_reports().toStdString();
    const auto refusals = recorder.reported("not authorised");
    EXPECT_TRUE(refusals[0].second.contains("trying again in 1 s"))
        << refusals[0].second.toStdString();
    EXPECT_TRUE(refusals[1].second.contains("trying again in 4 s"))
        << refusals[1].second.toStdString();
    EXPECT_GE(refusals[1].first - refusals[0].first, 900);
    EXPECT_EQ(recorder.connects, 0);
    EXPECT_EQ(broker.retained(status_of("cab1")), std::nullopt);
    client.stop();
}

TEST(Client, TlsChecksTheCertificateAndNeverFallsBackToPlainText) {
    Broker broker;
    struct {
        const char* what;
        bool right_ca;
        const char* host;
        bool insecure;
        bool tls_port;
        const char* failure;  // nullptr: connects
    } cases[] = {
        {"the right CA", true, "localhost", false, true, nullptr},
        {"a wrong CA", false, "localhost", false, true, "not signed by the CA"},
        {"a host the certificate is not for", true, "127.0.0.1", false, true, "not for the host"},
        {"the same, --insecure", true, "127.0.0.1", true, true, nullptr},
        {"a wrong CA, --insecure", false, "localhost", true, true, "not signed by the CA"},
        {"TLS to the plain listener", true, "localhost", false, false, "trying again"},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string node = "tls" + std::to_string(++n);
        ClientOptions options = cabinet_options(broker, node);
        options.broker = {c.host, c.tls_port ? broker.tls_port() : broker.port()};
        options.tls_ca = (c.right_ca ? broker.ca_file() : broker.wrong_ca_file()).toStdString();
        options.insecure = c.insecure;
        ASSERT_FALSE(options_problem(options)) << c.what;
        Client client(options);
        Recorder recorder(client);
        client.start();
        if (!c.failure) {
            EXPECT_TRUE(wait_until([&] { return recorder.connects == 1; }, connect_ms))
                << c.what << "\n"
                << recorder.all_reports().toStdString();
            EXPECT_TRUE(broker.wait_retained(status_of(node), "online", 3000)) << c.what;
            EXPECT_TRUE(client.stop()) << c.what;
            continue;
        }
        EXPECT_TRUE(
            wait_until([&] { return !recorder.reported("trying again").empty(); }, connect_ms))
            << c.what << "\n"
            << recorder.all_reports().toStdString();
        EXPECT_FALSE(recorder.reported(c.failure).empty()) << c.what << "\n"
                                                           << recorder.all_reports().toStdString();
        EXPECT_EQ(recorder.connects, 0) << c.what;
        // Had it fallen back to plain MQTT, the broker would hold "online".
        EXPECT_EQ(broker.retained(status_of(node)), std::nullopt) << c.what;
        client.stop();
    }
}

}  // namespace

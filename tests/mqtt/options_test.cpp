// What serve's options accept and refuse, and the password's sources.
#include "mqtt/options.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

using namespace tarnwick::mqtt;

TEST(Node, OnlyLettersDigitsUnderscoreAndDash) {
    struct {
        const char* node;
        bool ok;
    } cases[] = {
        {"cabinet-3", true}, {"A_b-9", true},  {"x", true},      {"", false},
        {"cab 3", false},    {"cab/3", false}, {"cab+", false},  {"cab#", false},
        {"cab.3", false},    {"柜3", false},   {"cab\n", false},
    };
    for (const auto& c : cases) EXPECT_EQ(!node_problem(c.node), c.ok) << c.node;
    EXPECT_EQ(client_id("cabinet-3"), "tarnwick-cabinet-3");
}

TEST(Boards, ListsAndRanges) {
    struct {
        const char* text;
        std::vector<std::uint8_t> expected;
        const char* problem;  // part of the message when refused
    } cases[] = {
        {"1", {1}, nullptr},
        {"1,7,20-23", {1, 7, 20, 21, 22, 23}, nullptr},
        {" 3 , 5-5 ", {3, 5}, nullptr},
        {"200,0", {200, 0}, nullptr},
        {"254-255", {254, 255}, nullptr},
        {"23-20", {}, "counts down"},
        {"1,1", {}, "given twice"},
        {"1-3,2", {}, "given twice"},
        {"256", {}, "beyond 255"},
        {"250-300", {}, "beyond 255"},
        {"1,,2", {}, "empty item"},
        {"", {}, "empty item"},
        {"1,", {}, "empty item"},
        {"a", {}, "no address"},
        {"-1", {}, "no address"},
        {"1-", {}, "no address"},
        {"1-2-3", {}, "no address"},
        {"+1", {}, "no address"},
    };
    for (const auto& c : cases) {
        const auto parsed = parse_boards(c.text);
        if (!c.problem) {
            ASSERT_TRUE(parsed) << c.text << ": " << parsed.problem;
            EXPECT_EQ(*parsed.value, c.expected) << c.text;
            continue;
        }
        EXPECT_FALSE(parsed) << c.text;
        EXPECT_NE(parsed.problem.find(c.problem), std::string::npos) << parsed.problem;
        EXPECT_NE(parsed.problem.find("--boards"), std::string::npos) << parsed.problem;
    }
    EXPECT_EQ(parse_boards("0-255").value->size(), 256u);

    struct {
        std::vector<std::uint8_t> boards;
        const char* text;
    } written[] = {
        {{1, 7, 20, 21, 22, 23}, "1,7,20-23"},
        {{1, 2}, "1,2"},
        {{5, 4, 3}, "5,4,3"},
        {{0, 1, 2, 9}, "0-2,9"},
        {{}, ""},
    };
    for (const auto& w : written) EXPECT_EQ(boards_text(w.boards), w.text);
}

TEST(Broker, HostAndPort) {
    struct {
        const char* text;
        bool tls;
        const char* host;  // nullptr: refused
        int port;
    } cases[] = {
        {"localhost", false, "localhost", 1883},
        {"localhost", true, "localhost", 8883},
        {"10.0.0.5:1884", false, "10.0.0.5", 1884},
        {"broker.example:8884", true, "broker.example", 8884},
        {"[::1]:1884", false, "::1", 1884},
        {"[::1]", true, "::1", 8883},
        {"::1", false, nullptr, 0},
        {":1883", false, nullptr, 0},
        {"", false, nullptr, 0},
        {"host:", false, nullptr, 0},
        {"host:0", false, nullptr, 0},
        {"host:65536", false, nullptr, 0},
        {"host:x", false, nullptr, 0},
        {"[::1", false, nullptr, 0},
        {"[::1]1883", false, nullptr, 0},
    };
    for (const auto& c : cases) {
        const auto parsed = parse_broker(c.text, c.tls);
        if (!c.host) {
            EXPECT_FALSE(parsed) << c.text;
            EXPECT_NE(parsed.problem.find("--mqtt"), std::string::npos) << parsed.problem;
            continue;
        }
        ASSERT_TRUE(parsed) << c.text << ": " << parsed.problem;
        EXPECT_EQ(*parsed.value, (BrokerAddress{c.host, c.port})) << c.text;
    }
}

class PasswordFile : public ::testing::Test {
  protected:
    std::filesystem::path dir_ = std::filesystem::temp_directory_path() /
                                 ("tarnwick-password-" + std::to_string(::getpid()));
    void SetUp() override { std::filesystem::create_directories(dir_); }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string write(const char* name, const std::string& text, mode_t mode) {
        const auto path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary) << text;
        ::chmod(path.c_str(), mode);
        return path;
    }
    std::string fifo(const char* name) {
        const auto path = (dir_ / name).string();
        ::mkfifo(path.c_str(), 0600);
        return path;
    }
    // A CA certificate as openssl makes it.
    std::string certificate() {
        const auto path = (dir_ / "real-ca.crt").string();
        const std::string command =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " +
            (dir_ / "ca.key").string() + " -out " + path + " -days 2 -subj /CN=test 2>/dev/null";
        EXPECT_EQ(std::system(command.c_str()), 0);
        return path;
    }
};

TEST_F(PasswordFile, FileFirstThenVariableNeverTheCommandLine) {
    struct {
        const char* what;
        std::string file;
        const char* variable;
        std::optional<std::string> value;
        const char* problem;
        bool warned;
    } cases[] = {
        {"file", write("a", "secret\n", 0600), "other", "secret", nullptr, false},
        {"CR LF", write("b", "secret\r\n", 0600), nullptr, "secret", nullptr, false},
        {"inner blanks kept", write("c", " se cret \n\n", 0600), nullptr, " se cret \n", nullptr,
         false},
        {"others may read it", write("d", "secret", 0644), nullptr, "secret", nullptr, true},
        {"its group may read it", write("g", "secret", 0640), nullptr, "secret", nullptr, false},
        {"a FIFO, no writer", fifo("f"), "other", std::nullopt, "is a FIFO", false},
        {"a directory", dir_.string(), "other", std::nullopt, "is a directory", false},
        {"a device", "/dev/zero", "other", std::nullopt, "is a device", false},
        {"empty", write("e", "\n", 0600), "other", std::nullopt, "is empty", false},
        {"missing", (dir_ / "none").string(), "other", std::nullopt, "cannot read", false},
        {"variable", "", "from-env", "from-env", nullptr, false},
        {"empty variable", "", "", std::nullopt, nullptr, false},
        {"nothing", "", nullptr, std::nullopt, nullptr, false},
    };
    for (const auto& c : cases) {
        const Password password = read_password(c.file, c.variable);
        EXPECT_EQ(password.value, c.value) << c.what;
        if (c.problem)
            EXPECT_NE(password.problem.find(c.problem), std::string::npos) << c.what;
        else
            EXPECT_TRUE(password.problem.empty()) << c.what << ": " << password.problem;
        EXPECT_EQ(!password.warning.empty(), c.warned) << c.what;
    }
}

TEST_F(PasswordFile, OptionsThatCannotWork) {
    const std::string ca = certificate();
    const std::string garbage = write("garbage.crt", "-----BEGIN CERTIFICATE-----\nxyz\n", 0644);
    struct {
        const char* host;
        const char* node;
        const char* username;
        std::optional<std::string> password;
        std::string tls_ca;
        bool insecure;
        bool plaintext;  // --allow-plaintext-password
        int keepalive_s;
        const char* problem;  // nullptr: accepted
    } cases[] = {
        {"broker.lan", "cab1", "", std::nullopt, "", false, false, 30, nullptr},
        {"broker.lan", "cab1", "u", "p", ca, true, false, 5, nullptr},  // no host-name check
        {"broker.lan", "a/b", "", std::nullopt, "", false, false, 30, "--node"},
        {"broker.lan", "cab1", "", "p", "", false, false, 30, "--username"},
        {"broker.lan", "cab1", "", std::nullopt, "", true, false, 30, "--tls-ca"},
        {"broker.lan", "cab1", "", std::nullopt, "/nonexistent.crt", false, false, 30,
         "/nonexistent.crt"},
        {"broker.lan", "cab1", "", std::nullopt, garbage, false, false, 30, "no PEM certificate"},
        {"broker.lan", "cab1", "", std::nullopt, dir_.string(), false, false, 30, "a directory"},
        {"broker.lan", "cab1", "", std::nullopt, "", false, false, 4, "--keepalive"},
        // A password in plain text only to this machine, or when allowed.
        {"broker.lan", "cab1", "u", "p", "", false, false, 30, "--allow-plaintext-password"},
        {"192.168.1.5", "cab1", "u", "p", "", false, false, 30, "--allow-plaintext-password"},
        {"broker.lan", "cab1", "u", "p", "", false, true, 30, nullptr},
        {"127.0.0.1", "cab1", "u", "p", "", false, false, 30, nullptr},
        {"localhost", "cab1", "u", "p", "", false, false, 30, nullptr},
        {"::1", "cab1", "u", "p", "", false, false, 30, nullptr},
        {"broker.lan", "cab1", "u", std::nullopt, "", false, false, 30, nullptr},
    };
    for (const auto& c : cases) {
        ClientOptions options;
        options.broker = {c.host, 1883};
        options.node = c.node;
        options.username = c.username;
        options.password = c.password;
        options.tls_ca = c.tls_ca;
        options.insecure = c.insecure;
        options.allow_plaintext_password = c.plaintext;
        options.keepalive_s = c.keepalive_s;
        const auto problem = options_problem(options);
        EXPECT_EQ(problem.has_value(), c.problem != nullptr)
            << c.host << " " << c.tls_ca << ": " << problem.value_or("accepted");
        if (problem && c.problem) {
            EXPECT_NE(problem->find(c.problem), std::string::npos) << *problem;
        }
    }
}

TEST(RetryDelay, GrowsWithTheSquareUpToTheLongest) {
    struct {
        int failures, min_s, max_s, expected;
    } cases[] = {
        {1, 1, 30, 1},  {2, 1, 30, 4},        {3, 1, 30, 9}, {5, 1, 30, 25},
        {6, 1, 30, 30}, {1000000, 1, 30, 30}, {2, 2, 60, 8}, {3, 5, 5, 5},
    };
    for (const auto& c : cases)
        EXPECT_EQ(retry_delay_s(c.failures, c.min_s, c.max_s), c.expected) << c.failures;
}

}  // namespace

// tarnwick-ctl against a Modbus RTU server nobody here wrote (pymodbus, on
// one end of a socat pseudo-terminal pair): units 1 and 2, 16 coils and 8
// discrete inputs each, unit 1's inputs 0x05 and unit 2's 0xA0 at the start.
// What the server holds is read from the server itself.

#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <vector>

#include "tests/support/modbus_fixture.h"
#include "tests/support/program_copy.h"

namespace tarnwick {
namespace {

using test::ModbusFixture;
using namespace std::chrono_literals;

struct CtlRun {
    int exit = -1;
    QString out, err;
};

struct LineCase {
    const char* what;
    QStringList args;  // after --direct -p DEVICE --protocol modbus
    int exit;
    std::function<void(ModbusFixture&)> before = {};     // on the server's side
    std::optional<std::uint16_t> unit1 = std::nullopt;   // coils afterwards
    std::optional<std::uint16_t> unit2 = std::nullopt;
    QStringList out = {};  // each found in stdout
    QStringList err = {};  // each found in stderr
    int coils = 16;        // the server's, for every unit
};

// clang-format off
const LineCase cases[] = {
    {"on sets the coils of its unit only", {"-a", "2", "on", "3", "16"}, 0, {}, 0x0000, 0x8004,
     {" 3  on", "16  on"}},
    {"off", {"off", "1"}, 0, [](ModbusFixture& f) { f.set_coil(1, 0, true); f.set_coil(1, 4, true); },
     0x0010},
    {"all-on, then its unit's coils all on", {"all-on"}, 0, {}, 0xFFFF, 0x0000},
    {"all-off", {"-a", "2", "all-off"}, 0,
     [](ModbusFixture& f) { for (int n : {0, 7, 15}) f.set_coil(2, n, true); }, {}, 0x0000},
    {"toggle reads the coils first", {"toggle", "1", "2"}, 0, [](ModbusFixture& f) { f.set_coil(1, 1, true); },
     0x0001},
    {"a coil set on the server shows in status", {"status"}, 0,
     [](ModbusFixture& f) { f.set_coil(1, 9, true); }, 0x0200, {}, {"10  on", " 9  off"}},
    {"inputs of unit 2", {"-a", "2", "--inputs", "8", "status"}, 0, {}, {}, {},
     {"in 1  off", "in 6  on", "in 7  off", "in 8  on"}},
    {"an input set on the server shows in --json", {"--inputs", "2", "--json", "status"}, 0,
     [](ModbusFixture& f) { f.set_input(1, 1, true); }, {}, {},
     {"\"inputs\":[{\"input\":1,\"on\":true},{\"input\":2,\"on\":true}]"}},
    {"a unit that is not there gives no answer", {"-a", "3", "on", "1"}, 4, {}, 0x0000, 0x0000, {},
     {"没有有效应答"}},
    {"a board with fewer coils refuses, by the exception's name", {"status"}, 6, {}, {}, {}, {},
     {"unit 1 refused read coils (01): illegal data address (02), it has fewer coils"}, 8},
    {"inputs past the board's refused", {"--inputs", "9", "status"}, 6, {}, {}, {}, {},
     {"unit 1 refused read discrete inputs (02): illegal data address (02)"}},
    {"scan finds the two units", {"scan", "1-6"}, 0, {}, {}, {}, {"  1  all off", "  2  all off"},
     {"2 answered"}},
    {"scan finds units that refuse a read of 16 coils", {"scan", "1-4"}, 0, {}, {}, {},
     {"  1  answers, but unit 1 refused read coils (01): illegal data address (02)",
      "  2  answers, but unit 2 refused read coils"},
     {"2 answered"}, 8},
};
// clang-format on

void PrintTo(const LineCase& c, std::ostream* out) {
    *out << c.what;
}

class ModbusLineTest : public ::testing::TestWithParam<LineCase> {
  protected:
    static void SetUpTestSuite() { dir_ = test::program_copy(QStringLiteral(TARNWICK_CTL)); }
    static void TearDownTestSuite() { dir_.reset(); }

    static CtlRun run(const QString& device, const QStringList& args) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", dir_->filePath("config"));
        QProcess ctl;
        ctl.setProcessEnvironment(env);
        ctl.start(dir_->filePath("tarnwick-ctl"),
                  QStringList{"--direct", "-p", device, "--protocol", "modbus"} + args);
        CtlRun result;
        if (!ctl.waitForFinished(15000)) {
            ctl.kill();
            ctl.waitForFinished(1000);
        } else if (ctl.exitStatus() == QProcess::NormalExit) {
            result.exit = ctl.exitCode();
        }
        result.out = QString::fromUtf8(ctl.readAllStandardOutput());
        result.err = QString::fromUtf8(ctl.readAllStandardError());
        return result;
    }

    static std::unique_ptr<QTemporaryDir> dir_;
};

std::unique_ptr<QTemporaryDir> ModbusLineTest::dir_;

TEST_P(ModbusLineTest, AgainstAServerWeDidNotWrite) {
    const LineCase& c = GetParam();
    ASSERT_TRUE(dir_);
    test::ModbusServerOptions options;
    options.coils = c.coils;
    ModbusFixture server(options);
    if (c.before) c.before(server);
    const CtlRun result = run(QString::fromStdString(server.path()), c.args);
    const std::string said = (result.out + "\n--- stderr:\n" + result.err).toStdString();
    EXPECT_EQ(result.exit, c.exit) << said << "\n--- server:\n" << server.log();
    if (c.unit1) {
        EXPECT_EQ(server.coils(1), *c.unit1) << said;
    }
    if (c.unit2) {
        EXPECT_EQ(server.coils(2), *c.unit2) << said;
    }
    for (const QString& part : c.out) EXPECT_TRUE(result.out.contains(part)) << part.toStdString() << "\n" << said;
    for (const QString& part : c.err) EXPECT_TRUE(result.err.contains(part)) << part.toStdString() << "\n" << said;
}

INSTANTIATE_TEST_SUITE_P(Modbus, ModbusLineTest, ::testing::ValuesIn(cases),
                         [](const auto& info) {
                             std::string name = std::to_string(info.index) + "_" + info.param.what;
                             for (char& ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return name;
                         });

}  // namespace
}  // namespace tarnwick

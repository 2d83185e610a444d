#include <gtest/gtest.h>

#include <QtGlobal>

#include "link/port_map.h"

namespace {

using tarnwick::link::device_for_port;

TEST(PortMap, NumbersBecomeDevices) {
    qunsetenv("TARNWICK_COM1");
    qunsetenv("TARNWICK_COM0");
    qputenv("TARNWICK_COM3", "/dev/ttyUSB0");
    qputenv("TARNWICK_COM200", "/tmp/board-link");
    struct {
        int number;
        const char* device;
    } cases[] = {
        {1, "/dev/ttyS0"},   {2, "/dev/ttyS1"},        {255, "/dev/ttyS254"},
        {0, ""},             {3, "/dev/ttyUSB0"},      {200, "/tmp/board-link"},
    };
    for (const auto& c : cases) EXPECT_EQ(device_for_port(c.number), QString(c.device)) << c.number;
    qputenv("TARNWICK_COM0", "/dev/pts/9");
    EXPECT_EQ(device_for_port(0), QString("/dev/pts/9"));
    qunsetenv("TARNWICK_COM0");
    qunsetenv("TARNWICK_COM3");
    qunsetenv("TARNWICK_COM200");
}

}  // namespace

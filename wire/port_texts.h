#pragma once

#include <QString>

#include "protocol/board_family.h"
#include "wire/device_info.h"
#include "wire/link_counters.h"
#include "wire/messages.h"
#include "wire/port_map.h"
#include "wire/serial_port.h"

namespace tarnwick::link {

// Everything the link tells the operator about a port, in Chinese, in one
// place: the panel shows these texts and any other tool on the same core
// prints the same ones.

// The reason alone: "设备不存在".
[[nodiscard]] QString fault_text(PortFault fault);
// The reason with the system's own words after it: "设备不存在（No such file or directory）";
// a device held by another program names that program instead of Qt's words,
// which read like a permissions fault: "设备正被其他程序使用（tarnwick-ctl serve，进程 1234）".
[[nodiscard]] QString reason_text(const PortProblem& problem);
// "环境变量 TARNWICK_COM1", "已保存的选择", "默认".
[[nodiscard]] QString source_text(PortSource source, int port_number);

// An open that failed, naming the port, the device and where it came from
// (a device named by path: the device alone).
[[nodiscard]] QString open_failure_text(int port_number, const PortDevice& device,
                                        const PortProblem& problem, Reader reader = Reader::panel);
// A port text that is no number 0..255.
[[nodiscard]] QString bad_port_text(const QString& text);
// The device went away while open; the link watches for it to come back.
// port_number -1: a device named by path.
[[nodiscard]] QString lost_text(int port_number, const PortProblem& problem);

// What a port number opens and whether that device is there:
// "串口 1 → /dev/ttyUSB0（已保存的选择）\n设备存在：USB-Serial CH340, 1a86:7523"
[[nodiscard]] QString device_text(int port_number, const PortDevice& device,
                                  const SerialDevice& found);

// The boards' family and the line's settings: "Modbus RTU 19200 8E1",
// "原生协议 9600 8N1".
[[nodiscard]] QString line_text(const protocol::LineSettings& line);

// "0x0104：第 3、9 路吸合", "0x0000：全部断开"
[[nodiscard]] QString relay_pattern_text(std::uint16_t relays);

// "tarnwick-ctl serve，进程 1234"
[[nodiscard]] QString holder_text(const DeviceHolder& holder);

// An interlocked relay not switched on: "第 2 路没有吸合：同组的第 1 路在 1 秒内没有断开（互锁）"
[[nodiscard]] QString interlock_not_released_text(int relay, const QString& others);
// "该模块设有互锁继电器组，不能全部吸合；请逐路吸合"
[[nodiscard]] QString interlock_all_on_text();
// An ON asked of an interlocked board other than the address entry's.
[[nodiscard]] QString interlock_elsewhere_text(int address);

// A wait as the operator reads it: "3 秒", and below a second "500 ms".
[[nodiscard]] QString duration_text(std::chrono::milliseconds wait);

// "发送 120 帧，收到 960 字节，接受 118 个应答，拒绝 2 个（校验和错 1 个，首字节错 1 个）",
// then "；3 个应答来自其他地址" when any did
[[nodiscard]] QString tally_text(const LinkTally& tally);

// Why the cells show unknown while the port is open, from what the link saw
// since the last accepted answer, and how many answers since the open came
// from another address.
struct UnknownCause {
    bool address_valid = true;  // an address the line's boards can have
    QString address_text;
    bool scanning = false;
    QString port_text;  // the port entry's, for a shell reader's scan command
    bool modbus = false;  // a Modbus line: unit ids 1..247
    int baud = 9600;      // the line's speed
};
[[nodiscard]] QString unknown_reason(const LinkCounters& counters, const UnknownCause& cause,
                                     SteadyClock::time_point now, Reader reader = Reader::panel);

}  // namespace tarnwick::link

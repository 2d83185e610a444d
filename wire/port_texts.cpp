#include "wire/port_texts.h"

#include <QFileInfo>
#include <QStringList>

#include "protocol/frame.h"

namespace tarnwick::link {

QString fault_text(PortFault fault) {
    switch (fault) {
        case PortFault::no_device:
            return QStringLiteral("没有对应的设备");
        case PortFault::not_found:
            return QStringLiteral("设备不存在");
        case PortFault::permission:
            return QStringLiteral("没有访问权限");
        case PortFault::not_permitted:
            return QStringLiteral("不允许使用这类设备");
        case PortFault::busy:
            return QStringLiteral("设备正被其他程序使用");
        case PortFault::not_serial:
            return QStringLiteral("不是串口设备");
        case PortFault::gone:
            return QStringLiteral("设备已不存在（可能已拔出）");
        case PortFault::io_error:
            return QStringLiteral("读写出错");
        case PortFault::other:
            break;
    }
    return QStringLiteral("打开失败");
}

QString reason_text(const PortProblem& problem) {
    QString text = fault_text(problem.fault);
    if (problem.holder)
        text += QStringLiteral("（%1）").arg(holder_text(*problem.holder));
    else if (!problem.system_text.isEmpty())
        text += QStringLiteral("（%1）").arg(problem.system_text);
    return text;
}

QString holder_text(const DeviceHolder& holder) {
    const QString program = holder.program.isEmpty() ? QStringLiteral("未知程序") : holder.program;
    return QStringLiteral("%1，进程 %2").arg(program).arg(holder.pid);
}

QString duration_text(std::chrono::milliseconds wait) {
    if (wait < std::chrono::seconds(1)) return QStringLiteral("%1 ms").arg(wait.count());
    return QStringLiteral("%1 秒").arg(
        std::chrono::duration_cast<std::chrono::seconds>(wait).count());
}

QString source_text(PortSource source, int port_number) {
    switch (source) {
        case PortSource::environment:
            return QStringLiteral("环境变量 TARNWICK_COM%1").arg(port_number);
        case PortSource::saved:
            return QStringLiteral("已保存的选择");
        case PortSource::named:
            return QStringLiteral("直接指定的设备");
        case PortSource::fallback:
            break;
    }
    return QStringLiteral("默认");
}

QString open_failure_text(int port_number, const PortDevice& device, const PortProblem& problem,
                          Reader reader) {
    const bool shell = reader == Reader::shell;
    if (problem.fault == PortFault::no_device || device.path.isEmpty()) {
        return (shell ? QStringLiteral("串口 %1 没有对应的设备。\n请用 -p 直接指定设备（例如 "
                                       "tarnwick-ctl -p /dev/serial/by-id/… status），"
                                       "或设置环境变量 TARNWICK_COM%1（例如 "
                                       "TARNWICK_COM%1=/dev/ttyUSB0）。")
                      : QStringLiteral("串口 %1 没有对应的设备。\n请在“串口号”的右键菜单中用"
                                       "“选择设备…”指定设备，或在启动前设置环境变量 "
                                       "TARNWICK_COM%1（例如 TARNWICK_COM%1=/dev/ttyUSB0）。"))
            .arg(port_number);
    }
    const QString path = problem.device.isEmpty() ? device.path : problem.device;
    QString text =
        device.source == PortSource::named
            ? QStringLiteral("无法打开设备 %1：%2").arg(path, reason_text(problem))
            : QStringLiteral("无法打开串口 %1（%2，%3）：%4")
                  .arg(port_number)
                  .arg(path, source_text(device.source, port_number), reason_text(problem));
    if (problem.fault == PortFault::permission) {
        text += QStringLiteral(
            "\n\n请把当前用户加入 dialout 组（sudo usermod -aG dialout 用户名），"
            "重新登录后再打开串口。");
    } else if (problem.fault == PortFault::not_permitted) {
        text += QStringLiteral(
            "\n\n设备策略（例如 systemd 单元的 DevicePolicy=/DeviceAllow=）不允许打开这类设备。");
    } else if (problem.fault == PortFault::not_found && device.source != PortSource::named) {
        text += shell ? QStringLiteral(
                            "\n\n可用 -p 改用其他设备（例如 -p /dev/serial/by-id/…），"
                            "或设置环境变量 TARNWICK_COM%1。")
                            .arg(port_number)
                      : QStringLiteral("\n\n可在“串口号”的右键菜单中用“选择设备…”改用其他设备。");
    }
    return text;
}

QString bad_port_text(const QString& text) {
    return QStringLiteral("串口号“%1”无效：请输入 0 到 255 之间的整数。").arg(text);
}

QString lost_text(int port_number, const PortProblem& problem) {
    const QString port = port_number < 0
                             ? QStringLiteral("设备 %1").arg(problem.device)
                             : QStringLiteral("串口 %1（%2）").arg(port_number).arg(problem.device);
    return QStringLiteral(
               "%1已断开：%2\n串口已关闭。设备重新出现时会自动重新打开串口；"
               "也可以检查连接后手动打开。")
        .arg(port, reason_text(problem));
}

QString device_text(int port_number, const PortDevice& device, const SerialDevice& found) {
    if (device.path.isEmpty()) {
        return QStringLiteral("串口 %1 没有对应的设备（可用“选择设备…”指定）。").arg(port_number);
    }
    QString text = QStringLiteral("串口 %1 → %2（%3）")
                       .arg(port_number)
                       .arg(device.path, source_text(device.source, port_number));
    if (found.system_path != QFileInfo(device.path).absoluteFilePath() && found.exists)
        text += QStringLiteral("\n即 %1").arg(found.system_path);
    if (!found.exists) return text + QStringLiteral("\n设备不存在。");
    if (found.holder)
        text += QStringLiteral("\n%1（%2）")
                    .arg(fault_text(PortFault::busy), holder_text(*found.holder));
    const QString summary = found.summary();
    text += summary.isEmpty() ? QStringLiteral("\n设备存在（系统没有它的描述）。")
                              : QStringLiteral("\n设备存在：%1").arg(summary);
    return text;
}

QString relay_pattern_text(std::uint16_t relays) {
    const QString hex =
        QStringLiteral("0x") + QStringLiteral("%1").arg(relays, 4, 16, QLatin1Char('0')).toUpper();
    if (relays == 0) return hex + QStringLiteral("：全部断开");
    if (relays == 0xFFFF) return hex + QStringLiteral("：全部吸合");
    QStringList on;
    for (int relay = 1; relay <= protocol::relay_count; ++relay)
        if (relays & protocol::relay_bit(relay)) on << QString::number(relay);
    return hex + QStringLiteral("：第 %1 路吸合").arg(on.join(QStringLiteral("、")));
}

QString tally_text(const LinkTally& tally) {
    QString text = QStringLiteral("发送 %1 帧，收到 %2 字节，接受 %3 个应答，拒绝 %4 个")
                       .arg(tally.frames_sent)
                       .arg(tally.bytes_received)
                       .arg(tally.answers_accepted)
                       .arg(tally.answers_rejected());
    if (tally.answers_rejected() > 0) {
        text += QStringLiteral("（校验和错 %1 个，首字节错 %2 个）")
                    .arg(tally.rejected_checksum)
                    .arg(tally.rejected_first_byte);
    }
    if (tally.answers_other_address > 0)
        text += QStringLiteral("；%1 个应答来自其他地址").arg(tally.answers_other_address);
    return text;
}

namespace {

// Said after the reason when answers came that no query of ours asked for.
QString other_address_note(const LinkCounters& counters) {
    const std::int64_t count = counters.since_open.answers_other_address;
    if (count == 0) return {};
    return QStringLiteral("\n打开以来有 %1 个应答来自其他地址（应答中的地址不是所查询的地址）。")
        .arg(count);
}

QString line_reason(const LinkCounters& counters, const UnknownCause& cause,
                    SteadyClock::time_point now, Reader reader) {
    const LinkTally& recent = counters.since_answer;
    if (recent.bytes_received == 0) {
        const bool ever = counters.since_open.answers_accepted > 0;
        const QString find =
            reader == Reader::shell
                ? QStringLiteral("可用 tarnwick-ctl -p %1 scan 查找模块").arg(cause.port_text)
                : QStringLiteral("可用“模块地址”右键菜单中的“查找模块…”");
        const QString wait = duration_text(
            std::chrono::duration_cast<std::chrono::milliseconds>(now - recent.since));
        // "3 秒内", "500 ms 内"
        const QString within = wait + (wait.endsWith(QStringLiteral("ms")) ? QStringLiteral(" 内")
                                                                           : QStringLiteral("内"));
        return QStringLiteral(
                   "%1没有收到任何字节%2。\n可能的原因：串口号或设备不对、接线、模块电源、"
                   "波特率（应为 %4）、模块地址不对（%3）。")
            .arg(within, ever ? QStringLiteral("（上一个有效应答之后）") : QString(), find,
                 QString::number(cause.baud));
    }
    if (recent.answers_rejected() == 0) {
        return QStringLiteral(
                   "收到 %1 字节，但凑不成一个完整的%2应答。\n可能的原因：波特率不对、"
                   "接线干扰，或线上的设备不是继电器模块。")
            .arg(recent.bytes_received)
            .arg(cause.modbus ? QString() : QStringLiteral(" 8 字节"));
    }
    QStringList why;
    if (recent.rejected_checksum > 0)
        why << QStringLiteral("%1 个校验和错误（线路干扰或波特率不对）")
                   .arg(recent.rejected_checksum);
    if (recent.rejected_first_byte > 0) {
        why << QStringLiteral("%1 个首字节不是 0x22（回显、噪声或应答错位）")
                   .arg(recent.rejected_first_byte);
    }
    return QStringLiteral("收到 %1 个应答，全部被拒绝：%2。")
        .arg(recent.answers_rejected())
        .arg(why.join(QStringLiteral("，")));
}

}  // namespace

QString unknown_reason(const LinkCounters& counters, const UnknownCause& cause,
                       SteadyClock::time_point now, Reader reader) {
    if (cause.scanning) return QStringLiteral("正在查找模块：轮询暂停，查找结束后恢复。");
    if (!cause.address_valid && cause.modbus) {
        return QStringLiteral(
                   "模块地址“%1”不是 1 到 247 之间的 Modbus 单元地址，没有发送任何查询。")
            .arg(cause.address_text);
    }
    if (!cause.address_valid) {
        return QStringLiteral("模块地址“%1”不是 0 到 255 之间的整数，没有发送任何查询。")
            .arg(cause.address_text);
    }
    return line_reason(counters, cause, now, reader) + other_address_note(counters);
}

QString line_text(const protocol::LineSettings& line) {
    const QString name = line.protocol == protocol::Protocol::modbus ? QStringLiteral("Modbus RTU")
                                                                     : QStringLiteral("原生协议");
    const char parity = line.parity == protocol::Parity::even  ? 'E'
                        : line.parity == protocol::Parity::odd ? 'O'
                                                               : 'N';
    return QStringLiteral("%1 %2 8%3%4")
        .arg(name)
        .arg(line.baud)
        .arg(QChar::fromLatin1(parity))
        .arg(line.stop_bits);
}

QString interlock_not_released_text(int relay, const QString& others) {
    return QStringLiteral("第 %1 路没有吸合：同组的第 %2 路在 1 秒内没有断开（互锁）")
        .arg(relay)
        .arg(others);
}

QString interlock_elsewhere_text(int address) {
    return QStringLiteral("模块 %1 设有互锁继电器组：请先把它填入“模块地址”，再在主窗口中吸合")
        .arg(address);
}

QString interlock_all_on_text() {
    return QStringLiteral("该模块设有互锁继电器组，不能全部吸合；请逐路吸合");
}

}  // namespace tarnwick::link

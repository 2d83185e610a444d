#include "mqtt/payloads.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include "protocol/board_family.h"

namespace tarnwick::mqtt {

namespace {

QString q(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString relay_name(const RelayNames& names, int relay) {
    const std::string& name = names[static_cast<std::size_t>(relay - 1)];
    if (name.empty()) return QString("Relay %1").arg(relay);
    return q(name);
}

QJsonObject availability(const std::string& topic) {
    return {{"topic", q(topic)},
            {"payload_available", q(online_payload)},
            {"payload_not_available", q(offline_payload)}};
}

std::string compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

// A board's device config around its components.
QJsonObject device_config(std::string_view node, std::uint8_t address, std::string_view version,
                          const QJsonObject& components) {
    const QJsonObject device{
        {"identifiers", QJsonArray{q(device_id(node, address))}},
        {"name", QString("%1 board %2").arg(q(node)).arg(address)},
        {"model", "16-channel relay board"},
        {"sw_version", q(version)},
    };
    const QJsonObject origin{{"name", "tarnwick"}, {"sw_version", q(version)}};
    return {
        {"dev", device},
        {"o", origin},
        {"availability", QJsonArray{availability(node_status_topic(node)),
                                    availability(availability_topic(node, address))}},
        {"availability_mode", "all"},
        {"qos", 1},
        {"cmps", components},
    };
}

// A board's discrete inputs, read-only, as its relays are shown.
QJsonObject input_components(std::string_view node, std::uint8_t address, int inputs) {
    const QString id = q(device_id(node, address));
    QJsonObject components;
    for (int input = 1; input <= inputs && input <= protocol::max_inputs; ++input)
        components.insert(QString("i%1").arg(input),
                          QJsonObject{{"p", "binary_sensor"},
                                      {"name", QString("Input %1").arg(input)},
                                      {"unique_id", id + QString("_i%1").arg(input)},
                                      {"state_topic", q(input_state_topic(node, address, input))},
                                      {"payload_on", q(on_payload)},
                                      {"payload_off", q(off_payload)},
                                      {"qos", 1}});
    return components;
}

}  // namespace

std::string board_state_json(const BoardState& state) {
    QJsonArray states;
    QJsonArray names;
    for (int relay = 1; relay <= relay_count; ++relay) {
        states.append(q(relay_payload((state.relays >> (relay - 1)) & 1U)));
        names.append(relay_name(state.names, relay));
    }
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(state.answered.time_since_epoch())
            .count();
    const QString time = QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
    return compact(
        {{"address", state.address}, {"states", states}, {"names", names}, {"time", time}});
}

std::string discovery_json(std::string_view node, std::uint8_t address, const RelayNames& names,
                           std::string_view version, bool switchable, const PulseLengths& pulses,
                           int inputs) {
    const QString id = q(device_id(node, address));
    QJsonObject components = input_components(node, address, inputs);
    for (int relay = 1; relay <= relay_count; ++relay) {
        QJsonObject component{{"p", switchable ? "switch" : "binary_sensor"},
                              {"name", relay_name(names, relay)},
                              {"unique_id", id + QString("_r%1").arg(relay)},
                              {"state_topic", q(relay_state_topic(node, address, relay))},
                              {"payload_on", q(on_payload)},
                              {"payload_off", q(off_payload)},
                              // Also per component: releases of Home Assistant
                              // before a fix ignore the device's own.
                              {"qos", 1}};
        if (switchable) {
            component.insert("command_topic", q(relay_set_topic(node, address, relay)));
            component.insert("optimistic", false);
            component.insert("retain", false);
        }
        components.insert(QString("r%1").arg(relay), component);
        const auto& pulse = pulses[static_cast<std::size_t>(relay - 1)];
        if (!switchable || !pulse) continue;
        components.insert(
            QString("p%1").arg(relay),
            QJsonObject{{"p", "button"},
                        {"name", relay_name(names, relay) + " pulse"},
                        {"unique_id", id + QString("_p%1").arg(relay)},
                        {"command_topic", q(relay_pulse_topic(node, address, relay))},
                        {"payload_press", QString::number(static_cast<double>(*pulse) / 1000.0)},
                        {"qos", 1},
                        {"retain", false}});
    }
    return compact(device_config(node, address, version, components));
}

std::string discovery_removal_json(std::string_view node, std::uint8_t address,
                                   std::string_view version, bool switches) {
    QJsonObject components;
    for (int relay = 1; relay <= relay_count; ++relay)
        components.insert(QString("r%1").arg(relay),
                          QJsonObject{{"p", switches ? "switch" : "binary_sensor"}});
    return compact(device_config(node, address, version, components));
}

}  // namespace tarnwick::mqtt

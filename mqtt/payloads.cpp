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

// A device's config around its components.
QJsonObject config_around(const QJsonObject& device, const QJsonArray& availabilities,
                          std::string_view version, const QJsonObject& components) {
    const QJsonObject origin{{"name", "tarnwick"}, {"sw_version", q(version)}};
    return {
        {"dev", device},
        {"o", origin},
        {"availability", availabilities},
        {"availability_mode", "all"},
        {"qos", 1},
        {"cmps", components},
    };
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
    return config_around(device,
                         QJsonArray{availability(node_status_topic(node)),
                                    availability(availability_topic(node, address))},
                         version, components);
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

std::string timekeeping_discovery_json(std::string_view node, std::string_view version,
                                       const std::vector<std::string>& scenes,
                                       const std::vector<std::string>& schedules, bool switchable) {
    const std::string id = "tarnwick_" + std::string(node);
    QJsonObject components;
    for (const std::string& scene : switchable ? scenes : std::vector<std::string>{})
        components.insert(q("scene_" + scene),
                          QJsonObject{{"p", "scene"},
                                      {"name", q(scene)},
                                      {"unique_id", q(id + "_scene_" + scene)},
                                      {"command_topic", q(scene_set_topic(node, scene))},
                                      {"payload_on", q(on_payload)},
                                      {"retain", false},
                                      {"qos", 1}});
    for (const std::string& schedule : schedules) {
        QJsonObject component{{"p", switchable ? "switch" : "binary_sensor"},
                              {"name", q(schedule)},
                              {"unique_id", q(id + "_schedule_" + schedule)},
                              {"state_topic", q(schedule_state_topic(node, schedule))},
                              {"payload_on", q(on_payload)},
                              {"payload_off", q(off_payload)},
                              {"qos", 1}};
        if (switchable) {
            component.insert("command_topic", q(schedule_set_topic(node, schedule)));
            component.insert("optimistic", false);
            component.insert("retain", false);
        }
        components.insert(q("schedule_" + schedule), component);
    }
    if (components.isEmpty()) return {};
    const QJsonObject device{
        {"identifiers", QJsonArray{q(timekeeping_device_id(node))}},
        {"name", QString("%1 scenes and schedules").arg(q(node))},
        {"model", "scenes and schedules"},
        {"sw_version", q(version)},
    };
    return compact(config_around(device, QJsonArray{availability(node_status_topic(node))}, version,
                                 components));
}

std::string discovery_with_removals(std::string_view config, std::string_view earlier) {
    const auto object = [](std::string_view json) {
        return QJsonDocument::fromJson(QByteArray(json.data(), static_cast<qsizetype>(json.size())))
            .object();
    };
    QJsonObject now = object(config);
    QJsonObject components = now["cmps"].toObject();
    bool removed = false;
    const QJsonObject before = object(earlier)["cmps"].toObject();
    for (auto c = before.begin(); c != before.end(); ++c) {
        const QJsonObject component = c->toObject();
        // A platform alone is a removal already sent.
        if (components.contains(c.key()) || component.size() < 2) continue;
        const QString platform = component["p"].toString();
        if (platform.isEmpty()) continue;
        components.insert(c.key(), QJsonObject{{"p", platform}});
        removed = true;
    }
    if (!removed) return {};
    now.insert("cmps", components);
    return compact(now);
}

}  // namespace tarnwick::mqtt

// Prints what serve publishes for one board, for the README: the discovery
// config of board 1 of cabinet "cabinet-3" with the names a new name.txt
// gives, and its state JSON, each after its topic.
#include <QJsonDocument>
#include <chrono>
#include <cstdio>

#include "mqtt/payloads.h"
#include "names/name_file.h"

namespace {

void print(const std::string& topic, const std::string& json) {
    const QByteArray indented =
        QJsonDocument::fromJson(QByteArray::fromStdString(json)).toJson(QJsonDocument::Indented);
    std::printf("%s\n%s\n", topic.c_str(), indented.constData());
}

}  // namespace

int main() {
    using namespace tarnwick::mqtt;
    RelayNames names;
    for (int relay = 1; relay <= relay_count; ++relay)
        names[relay - 1] = tarnwick::names::default_channel_name(relay);
    print(discovery_topic("cabinet-3", 1), discovery_json("cabinet-3", 1, names, "0.1"));
    BoardState state{
        1, 0x0005, names,
        std::chrono::system_clock::time_point(std::chrono::milliseconds(1740816902250))};
    print(board_state_topic("cabinet-3", 1), board_state_json(state));
    return 0;
}

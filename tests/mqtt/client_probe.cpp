// mqtt_client_probe PORT NODE USER PASSWORD: connects a client to the broker
// on 127.0.0.1:PORT from a process of its own, prints "connected" once the
// broker has accepted it, and runs until it is killed. The client tests kill
// it with SIGKILL to see the last will.
#include <QCoreApplication>
#include <cstdio>

#include "mqtt/client.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 5) {
        std::fprintf(stderr, "usage: mqtt_client_probe PORT NODE USER PASSWORD\n");
        return 2;
    }
    tarnwick::mqtt::ClientOptions options;
    options.broker = {"127.0.0.1", std::atoi(argv[1])};
    options.node = argv[2];
    options.username = argv[3];
    options.password = argv[4];
    tarnwick::mqtt::Client client(options);
    QObject::connect(&client, &tarnwick::mqtt::Client::connected, [] {
        std::printf("connected\n");
        std::fflush(stdout);
    });
    client.start();
    return app.exec();
}

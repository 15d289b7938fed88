// The tests' main, which doubles as a publisher process the will test can kill.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "publish/mqtt_publisher.h"

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--publisher-child") {
        // argv: port instance password
        using namespace dialscope::publish;
        MqttOptions o;
        o.url = ParseMqttUrl(std::string("mqtt://watcher@127.0.0.1:") + argv[2]).url;
        o.instance = argv[3];
        o.password = argv[4];
        MqttPublisher p(o, {}, {});
        std::string error;
        if (!p.Start(&error)) return 2;
        for (;;) pause();  // until the test kills it
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

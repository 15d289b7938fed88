#include "publish/watch_config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/publish/rig.h"

namespace dialscope::publish {
namespace {

using testing::TempDir;
using testing::WriteBytes;

TEST(WatchConfig, ReadsEveryKeyAndNamesFileLineAndKeyOfEachProblem) {
    TempDir dir;
    std::string path = dir.File("watch.conf");
    WriteBytes(path,
               "# the kitchen's box\n"
               "mqtt_url = \"mqtts://watcher@broker.lan:8884/home\"\n"
               "mqtt_password_file = \"/etc/dialscope/pw\"\n"
               "mqtt_ca_file = \"/etc/dialscope/ca.pem\"\n"
               "instance_id = \"kitchen\"\n"
               "discovery_prefix = \"\"\n"
               "exec = \"/usr/local/bin/on-call --to 'Anna B'\"\n"
               "exec_timeout_seconds = 2.5\n"
               "every_minutes = 10080\n"
               "keep_days = 365\n"
               "history = \"/var/lib/dialscope/calls.sqlite3\"\n"
               "port = \"/dev/ttyUSB0\"\n"
               "http = \"[::1]:8080\"\n");
    WatchSettings c;
    std::string error;
    ASSERT_TRUE(ReadWatchConfig(path, &c, &error)) << error;
    EXPECT_EQ(c.mqttUrl->Target(), "mqtts://broker.lan:8884/home");
    EXPECT_EQ(c.mqttUrl->user, "watcher");
    EXPECT_EQ(*c.mqttPasswordFile, "/etc/dialscope/pw");
    EXPECT_EQ(*c.mqttCaFile, "/etc/dialscope/ca.pem");
    EXPECT_EQ(*c.instanceId, "kitchen");
    EXPECT_EQ(*c.discoveryPrefix, "");
    EXPECT_EQ(*c.exec, (std::vector<std::string>{"/usr/local/bin/on-call", "--to", "Anna B"}));
    EXPECT_EQ(*c.execTimeoutSeconds, 2.5);
    EXPECT_EQ(*c.everyMinutes, 10080);  // the same week --every allows
    EXPECT_EQ(*c.keepDays, 365);
    EXPECT_EQ(*c.history, "/var/lib/dialscope/calls.sqlite3");
    EXPECT_EQ(*c.port, "/dev/ttyUSB0");
    EXPECT_EQ(*c.http, "[::1]:8080");

    WriteBytes(path, "exec = [\"/bin/echo\", \"$(x)\"]\n");
    ASSERT_TRUE(ReadWatchConfig(path, &c, &error)) << error;
    EXPECT_EQ(*c.exec, (std::vector<std::string>{"/bin/echo", "$(x)"}));
    EXPECT_FALSE(c.mqttUrl);

    struct Case {
        const char* text;
        std::string error;  // after "<path> "
    } cases[] = {
        {"\n\n\nmqtt_ulr = \"mqtt://h\"\n", "line 4: unknown key 'mqtt_ulr'."},
        {"[mqtt]\nurl = \"mqtt://h\"\n", "line 1: unknown key 'mqtt'."},
        {"mqtt_url = \"mqtt://u:p@h\"\n", "line 1: 'mqtt_url': The MQTT address \"mqtt://u:***@h\" holds a password. "
                                       "Keep it out of the configuration file: put it in a private file named by "
                                       "mqtt_password_file"},
        {"mqtt_url = 5\n", "line 1: 'mqtt_url' must be a quoted string."},
        {"every_minutes = 0\n", "line 1: 'every_minutes' must be a whole number of minutes from 1 to 10080 (a week)."},
        {"every_minutes = 10081\n", "line 1: 'every_minutes' must be a whole number of minutes from 1 to 10080 (a week)."},
        {"every_minutes = 1.5\n", "line 1: 'every_minutes' must be a whole number of minutes from 1 to 10080 (a week)."},
        {"keep_days = 0\n", "line 1: 'keep_days' must be a whole number of days from 1 to 36500."},
        {"keep_days = \"30\"\n", "line 1: 'keep_days' must be a whole number of days from 1 to 36500."},
        {"exec_timeout_seconds = -1\n", "line 1: 'exec_timeout_seconds' must be a number of seconds above 0"},
        {"exec = \"a 'b\"\n", "line 1: 'exec': The command has an unclosed ' quote."},
        {"exec = []\n", "line 1: 'exec' must name a command."},
        {"exec = \"'' --quiet\"\n", "line 1: 'exec' must name a command."},
        {"exec = [1]\n", "line 1: 'exec' must be a list of quoted strings."},
        {"instance_id = \"a b\"\n", "line 1: 'instance_id' may hold only letters"},
        {"history = \"\"\n", "line 1: 'history' must not be empty."},
        {"port = \"/dev/ttyUSB0\"\nport = \"/dev/ttyUSB1\"\n", "line 2: "},
        {"every_minutes = \n", "line 1: "},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.text);
        WriteBytes(path, k.text);
        EXPECT_FALSE(ReadWatchConfig(path, &c, &error));
        EXPECT_EQ(error.substr(0, path.size() + 1 + k.error.size()), path + " " + k.error) << error;
    }
    // Refused by its size before it is read: a wrongly named log or image
    // must not be loaded whole. A megabyte of blank lines still reads.
    const std::string big = dir.File("big.conf");
    WriteBytes(big, "");
    ASSERT_EQ(truncate(big.c_str(), 200 << 20), 0);
    EXPECT_FALSE(ReadWatchConfig(big, &c, &error));
    EXPECT_EQ(error, "The configuration file " + big + " is larger than 1 MiB; a watch configuration holds a few "
                     "settings. Check that --config names the right file.");
    WriteBytes(big, std::string(1 << 20, '\n'));
    EXPECT_TRUE(ReadWatchConfig(big, &c, &error)) << error;
    WriteBytes(big, std::string((1 << 20) + 1, '\n'));
    EXPECT_FALSE(ReadWatchConfig(big, &c, &error));
    EXPECT_FALSE(ReadWatchConfig(dir.File("none.conf"), &c, &error));
    EXPECT_EQ(error, "Cannot read the configuration file " + dir.File("none.conf") + ": No such file or directory.");
}

TEST(WatchConfig, PasswordFileIsItsFirstLineAndAWorldReadableOneIsWarnedAbout) {
    TempDir dir;
    std::string path = dir.File("pw"), password, error, warning;
    WriteBytes(path, "p a ss\r\nsecond line\n");
    chmod(path.c_str(), 0600);
    ASSERT_TRUE(ReadPasswordFile(path, &password, &error, &warning)) << error;
    EXPECT_EQ(password, "p a ss");
    EXPECT_EQ(warning, "");
    chmod(path.c_str(), 0644);
    ASSERT_TRUE(ReadPasswordFile(path, &password, &error, &warning));
    EXPECT_EQ(warning, "The MQTT password file " + path +
                           " can be read by every user of this machine; make it private (chmod 600 or 640).");
    WriteBytes(path, "\nsecret\n");
    EXPECT_FALSE(ReadPasswordFile(path, &password, &error, &warning));
    EXPECT_EQ(error, "The MQTT password file " + path + " is empty; its first line must be the password.");
}

}  // namespace
}  // namespace dialscope::publish

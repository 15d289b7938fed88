// The watcher's configuration file (--config FILE; /etc/dialscope/watch.conf for the
// system service), in TOML. Every key is optional; options on the command line win.
//
//   mqtt_url             = "mqtts://watcher@broker.lan/dialscope"
//   mqtt_password_file   = "/etc/dialscope/mqtt-password"
//   mqtt_ca_file         = "/etc/dialscope/broker-ca.pem"
//   instance_id          = "kitchen"
//   discovery_prefix     = "homeassistant"      # "" turns discovery off
//   exec                 = ["/usr/local/bin/on-call", "--quiet"]   # or one string, quoted like a shell's
//   exec_timeout_seconds = 30
//   every_minutes        = 15
//   keep_days            = 365                  # calls received earlier are removed
//   history              = "/var/lib/dialscope/calls.sqlite3"
//   http                 = "127.0.0.1:8080"     # the web pages, as watch --http
//   port                 = "/dev/ttyUSB0"
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "publish/watch_settings.h"

namespace dialscope::publish {

// False with *error = "<path> line N: ..." (or "Cannot read the configuration file
// <path>: ...") when the file cannot be read, is not TOML, holds an unknown key or a
// bad value (the limits are those of the command line, publish/watch_settings.h). The
// first problem is reported.
// Every setting read is marked as from the file.
bool ReadWatchConfig(const std::string& path, WatchSettings* config, std::string* error);

// The password is the file's first line without its line end. False with *error for
// an unreadable or empty file. *warning is set (the password is still read) when
// every user of the machine can read the file.
bool ReadPasswordFile(const std::string& path, std::string* password, std::string* error, std::string* warning);

}  // namespace dialscope::publish

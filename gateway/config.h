// What a gateway runs with: from the command line (a quick start) or a TOML file.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tq_RWD_DLL.hpp"

namespace tqrf::gateway {

struct KeySet {
    std::optional<Key> a;
    std::optional<Key> b;
};

struct ReaderConfig {
    std::string port;  // a device path, a by-id path, or "auto" (every serial port found)
    std::string name;  // empty: named after its device
    std::set<std::string> allow;    // commands this reader takes
    std::vector<std::string> keys;  // the key sets its commands may name
};

struct Config {
    std::string name;
    bool tls = false;
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string
        ca_file;  // mqtts://: the CA that signed the broker's certificate (else the system's)
    std::string cert_file;      // mqtts://: the gateway's client certificate, or empty
    std::string key_file;       // its private key; others than its owner and group may not read it
    std::string username;       // empty: none
    std::string password_file;  // holds the password (its first line); only its owner may read it
    std::vector<ReaderConfig> readers;
    std::map<std::string, KeySet> key_sets;
    std::string state_dir;  // empty: $STATE_DIRECTORY or ~/.local/state/tqrf-gateway
    int interval_ms = 100;
    int queue_max = 10000;                    // events kept while the broker is unreachable
    bool ha_discovery = false;                // Home Assistant discovery (discovery.h)
    std::string ha_prefix = "homeassistant";  // its discovery prefix
};

// The ranges the configuration file and the flags accept.
inline constexpr int kIntervalMinMs = 10, kIntervalMaxMs = 10000;
inline constexpr int kQueueMin = 1, kQueueMax = 1000000;

// The commands every reader takes unless its configuration says otherwise.
const std::set<std::string>& default_commands();
// Every command there is.
const std::set<std::string>& known_commands();

// Parses "mqtt://HOST:PORT" or "mqtts://HOST:PORT" into `c`; an error text or "".
std::string parse_broker(const std::string& url, Config& c);

// Reads a TOML configuration. Every mistake is one line of `errors`
// ("FILE:LINE: FIELD: what is wrong"); the configuration is usable only when there is none.
Config load_config(const std::string& path, std::vector<std::string>& errors);

// Reads the password from `path` into `password`: an error text when the file does not read, or
// when its group or others may read or write it (mode 0600 or 0400 only).
std::string read_password(const std::string& path, std::string& password);

// Checks the TLS files of `c` (they read; the key file is not open to others, and comes with a
// certificate): one error text per problem, prefixed by the field's name as `field` gives it.
std::vector<std::string> check_tls_files(const Config& c);

// A reader's name from its device: /dev/ttyUSB0 gives "ttyUSB0", /dev/pts/3 "pts-3" (symbolic
// links are followed first).
std::string reader_name(const std::string& port);

}  // namespace tqrf::gateway

// What the gateway says when the broker cannot be reached or refuses something: what happened,
// in words, and what to look at. Paho reports a failed connect as a number, an MQTT reason code
// and sometimes a text; a TLS failure comes as OpenSSL's error lines. No password is ever part
// of a message (the user name and the password file's name are).
#pragma once

#include <string>

namespace tqrf::gateway {

// How the gateway reaches its broker, for the messages.
struct BrokerTarget {
    std::string url;  // as configured: mqtt://HOST:PORT or mqtts://HOST:PORT
    std::string host;
    int port = 0;
    bool tls = false;
    std::string ca_file;  // empty: the system's trusted CAs
    std::string cert_file;
    std::string username;
    std::string password_file;
};

struct ConnectFailure {
    int code = 0;             // Paho's return code (MQTTASYNC_*), 0 when none
    int reason = 0;           // the MQTT 5 reason code of the CONNACK, 0 when none
    std::string message;      // Paho's text, may be empty
    std::string tls;          // OpenSSL's error lines of the attempt, may be empty
    std::string certificate;  // why the server's certificate does not verify (tls_check.h), or ""
    bool reachable = false;   // the broker's port took a TCP connection after the failure
};

// "cannot connect to the broker at URL: WHAT; WHAT TO DO".
std::string describe_connect_failure(const ConnectFailure& f, const BrokerTarget& t);

// OpenSSL's error lines ("error:0A000086:SSL routines:...:certificate verify failed:...") as
// "certificate verify failed" and the like; the first useful reason, or "".
std::string tls_reason(const std::string& openssl_lines);

// A message the broker refused (a PUBACK with a reason code of 0x80 or more): the topic, the
// reason in words and what to check.
std::string describe_refused_publish(const std::string& topic, int reason, const BrokerTarget& t);

// A subscription the broker refused (a SUBACK with a reason code of 0x80 or more).
std::string describe_refused_subscription(const std::string& filter, int reason,
                                          const BrokerTarget& t);

// The words for an MQTT 5 reason code ("not authorized").
std::string reason_words(int reason);

}  // namespace tqrf::gateway

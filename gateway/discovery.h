// Home Assistant's MQTT discovery: each reader appears as a device with a tag scanner (every
// card that arrives is a scan) and a connectivity sensor following the reader's status.
//
// Home Assistant takes every message on a tag scanner's topic as a scan, so the scanner does
// not listen to the event topic (a card leaving would be a second scan): the gateway publishes
// each arrival once more on tqrf/<gateway>/<reader>/tag, {"uid": "..."}, and nothing else there.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tqrf::gateway {

struct DiscoveredReader {
    std::string gateway;          // the gateway's name
    std::string reader;           // the reader's name
    std::string topic_root;       // "tqrf/<gateway>/<reader>/"
    std::string gateway_status;   // "tqrf/<gateway>/status"
    std::string version;          // the reader's hardware version
    std::string identity;         // its identity (8 hex digits)
    std::string adapter;          // what its port is
    std::string gateway_version;  // the gateway's own
};

// A name Home Assistant takes in a discovery topic (letters, digits, _ and -).
std::string discovery_id(const std::string& text);

// The retained discovery messages for one reader, topic and payload (JSON): under
// `prefix`/tag/ the tag scanner, under `prefix`/binary_sensor/ its connectivity.
std::vector<std::pair<std::string, std::string>> discovery_messages(const std::string& prefix,
                                                                    const DiscoveredReader& r);

// The payload on the tag topic for a card that arrived.
std::string tag_payload(const std::string& uid);

}  // namespace tqrf::gateway

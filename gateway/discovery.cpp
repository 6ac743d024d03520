#include "discovery.h"

#include <nlohmann/json.hpp>

namespace tqrf::gateway {

using json = nlohmann::json;

std::string discovery_id(const std::string& text) {
    std::string out = text;
    for (auto& c : out) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (!ok) c = '_';
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> discovery_messages(const std::string& prefix,
                                                                    const DiscoveredReader& r) {
    const std::string id = discovery_id(r.gateway) + "_" + discovery_id(r.reader);
    const json device{{"identifiers", json::array({"tqrf_" + id})},
                      {"name", r.gateway + " " + r.reader},
                      {"manufacturer", "tqrf"},
                      {"model", "MF RC500 card reader (" + r.adapter + ")"},
                      {"sw_version", r.version},
                      {"serial_number", r.identity},
                      {"via_device", "tqrf_" + discovery_id(r.gateway)}};
    const json tag{{"topic", r.topic_root + "tag"},
                   {"value_template", "{{ value_json.uid }}"},
                   {"device", device}};
    // The reader's retained status says online or lost; while the gateway itself is offline
    // (its last will) the sensor is unavailable.
    const json connectivity{
        {"name", "Reader"},
        {"unique_id", "tqrf_" + id + "_reader"},
        {"device_class", "connectivity"},
        {"state_topic", r.topic_root + "status"},
        {"value_template", "{{ 'ON' if value_json.state == 'online' else 'OFF' }}"},
        {"json_attributes_topic", r.topic_root + "status"},
        {"availability", json::array({{{"topic", r.gateway_status},
                                       {"value_template", "{{ value_json.state }}"},
                                       {"payload_available", "online"},
                                       {"payload_not_available", "offline"}}})},
        {"device", device}};
    return {{prefix + "/tag/" + id + "/config", tag.dump()},
            {prefix + "/binary_sensor/" + id + "/config", connectivity.dump()}};
}

std::string tag_payload(const std::string& uid) {
    return json{{"uid", uid}}.dump();
}

}  // namespace tqrf::gateway

// A request on a reader's cmd topic, read and checked before anything is done with it: a
// request that is not well formed, names a command the reader does not take, or a block, key
// set or amount out of range is answered with {"ok": false, "error": ...} and nothing is run.
// No broker and no reader are needed here (the fuzz target fuzz_gateway_request drives it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "config.h"

namespace tqrf::gateway {

// A request larger than this is refused unread.
inline constexpr std::size_t kMaxRequestBytes = 4096;
// At most this many blocks (read) or sectors (dump) in one request.
inline constexpr std::size_t kMaxBlocksPerRequest = 64;
inline constexpr std::size_t kMaxSectorsPerRequest = 16;

// What a reader lets its requests do.
struct RequestPolicy {
    std::string reader;                                   // its name, for the error texts
    std::set<std::string> allow;                          // the commands it takes
    std::vector<std::string> key_sets;                    // the key sets open to it
    const std::map<std::string, KeySet>* keys = nullptr;  // the configuration's key sets
};

// A request that may be run: every field checked.
struct Request {
    std::string cmd;
    int ms = 100;              // beep: 10 to 2550
    std::vector<int> blocks;   // read: 1 to 64 blocks; read_value, write, credit, debit: one
                               // data block (not block 0, not a trailer)
    std::vector<int> sectors;  // dump: 1 to 16 sectors, 0 to 15
    Key key = kDefaultKey;     // from the key set named, else the factory key
    KeyType key_type = KeyType::A;
    Block data{};              // write
    std::uint32_t amount = 0;  // credit, debit: 0 to 2147483647
};

struct ParsedRequest {
    std::optional<Request> request;    // when it may be run
    std::string error;                 // else why not
    std::optional<nlohmann::json> id;  // the request's id, echoed in the reply
    std::string reply_to;              // its reply_to topic when it is one, else ""
};

ParsedRequest parse_request(std::string_view payload, const RequestPolicy& policy);

// The reply to `payload`: parse_request's error, or what `run` makes of the request (it is
// called for a request that may be run only), with the id and the reader's name added.
nlohmann::json answer_request(std::string_view payload, const RequestPolicy& policy,
                              const std::function<nlohmann::json(const Request&)>& run,
                              std::string* reply_to);

// At most `burst` requests at once and `per_second` on average: a token bucket. Not locked.
class RequestRate {
  public:
    RequestRate(double per_second, double burst)
        : rate_(per_second), burst_(burst), tokens_(burst) {}
    // Whether a request arriving at `now` (seconds on any steady clock) is taken.
    bool take(double now);

  private:
    double rate_, burst_, tokens_;
    double last_ = -1;
};

}  // namespace tqrf::gateway

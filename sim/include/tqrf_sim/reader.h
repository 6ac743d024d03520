// The simulated reader: takes one request payload (0xBB, command code, parameters) and gives
// the reply payload (data bytes, then the status byte). No I/O and no clock of its own: the
// caller passes the time of each request, so the model can be driven byte-exactly by tests.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tqrf_sim/card.h"
#include "tqrf_sim/status.h"

namespace tqrf_sim {

namespace cmd {
inline constexpr std::uint8_t kRequest = 0x41;
inline constexpr std::uint8_t kAnticoll = 0x42;
inline constexpr std::uint8_t kSelect = 0x43;
inline constexpr std::uint8_t kAuthenticate = 0x44;
inline constexpr std::uint8_t kRead = 0x45;
inline constexpr std::uint8_t kWrite = 0x46;
inline constexpr std::uint8_t kInitValue = 0x47;
inline constexpr std::uint8_t kReadValue = 0x48;
inline constexpr std::uint8_t kIncrement = 0x49;
inline constexpr std::uint8_t kDecrement = 0x4A;
inline constexpr std::uint8_t kRestore = 0x4B;
inline constexpr std::uint8_t kTransfer = 0x4C;
inline constexpr std::uint8_t kLoadKey = 0x61;
inline constexpr std::uint8_t kCardFind = 0x62;
inline constexpr std::uint8_t kBeep = 0x69;
inline constexpr std::uint8_t kSetClock = 0x6A;
inline constexpr std::uint8_t kReadClock = 0x6B;
inline constexpr std::uint8_t kHalt = 0x71;
inline constexpr std::uint8_t kReset = 0x72;
inline constexpr std::uint8_t kHardwareVersion = 0x73;
inline constexpr std::uint8_t kWriteE2 = 0x74;
inline constexpr std::uint8_t kReadE2 = 0x75;
inline constexpr std::uint8_t kReadId = 0x76;
inline constexpr std::uint8_t kLinkTest = 0x77;
}  // namespace cmd

inline constexpr std::uint8_t kRequestIdle = 0x26;  // REQA
inline constexpr std::uint8_t kRequestAll = 0x52;   // WUPA
inline constexpr std::uint8_t kKeyTypeA = 0x60;
inline constexpr std::uint8_t kKeyTypeB = 0x61;
inline constexpr std::uint8_t kFixedParameter = 0x55;  // reset, link test, E2PROM write

// The payload length (lead byte and code included) of each command, 0 for unknown codes.
std::size_t command_length(std::uint8_t code);

inline constexpr std::size_t kE2promSize = 256;
inline constexpr std::size_t kE2promProtected = 16;  // bytes 0..15: product information
inline constexpr std::size_t kClockSize = 7;
inline constexpr std::uint32_t kDefaultIdentity = 0x12345678;
inline constexpr const char* kHardwareVersionText = "TQRF-SIM RC500 V1.0";

using ClockBytes = std::array<std::uint8_t, kClockSize>;
using Clock = std::chrono::steady_clock;

struct Reply {
    std::vector<std::uint8_t> payload;  // data bytes, then the status byte
    std::chrono::milliseconds hold{0};  // the reader is busy this long before it answers
    std::uint8_t status() const { return payload.empty() ? 0 : payload.back(); }
};

class Reader {
  public:
    // `start` is the time of construction on the caller's clock; the real-time clock starts at
    // `utc_seconds` (seconds since 1970-01-01 00:00:00 UTC) at that moment.
    Reader(Clock::time_point start, std::int64_t utc_seconds);
    Reader();  // now, and the host's current time

    // Handles one request payload received at `now`.
    Reply handle(std::span<const std::uint8_t> payload, Clock::time_point now);

    // ---- The field ------------------------------------------------------------------------
    // Places a card; false when a card with the same UID is already in the field.
    bool place(const MifareClassic& card);
    bool remove(const Uid& uid);
    void remove_all();
    std::vector<Uid> uids() const;
    const MifareClassic* card(const Uid& uid) const;
    MifareClassic* card(const Uid& uid);

    // ---- Reader state, for tests and tools --------------------------------------------------
    std::optional<Uid> selected() const { return selected_; }
    struct Authentication {
        std::uint8_t sector;
        KeyType key;
    };
    std::optional<Authentication> authenticated() const { return auth_; }
    std::optional<Block> transfer_buffer() const { return transfer_; }
    std::optional<Key> loaded_key(KeyType type, std::size_t sector) const;
    const std::array<std::uint8_t, kE2promSize>& e2prom() const { return e2prom_; }
    ClockBytes clock_at(Clock::time_point now) const;
    std::uint32_t identity() const { return identity_; }
    void set_identity(std::uint32_t id);
    std::uint64_t beeps() const { return beeps_; }

    // Field reset: every card idle again; selection, authentication and transfer buffer gone.
    // Loaded keys, E2PROM and clock stay (that is what the reader's reset command does).
    void field_reset();
    // Power-on state: as field_reset(), and no keys loaded, E2PROM as shipped, clock set to
    // `utc_seconds` at `now`. Cards in the field stay in the field.
    void power_on(Clock::time_point now, std::int64_t utc_seconds);

  private:
    Reply answer(std::span<const std::uint8_t> p, Clock::time_point now);
    Status request(std::uint8_t code);
    Status anticoll(std::uint8_t index, Uid& uid) const;
    Status select(const Uid& uid);
    // The selected card when `block` lies in the authenticated sector, with the status otherwise.
    MifareClassic* session_for(std::size_t block, Status& status);
    void end_session();
    void init_e2prom();

    std::vector<MifareClassic> field_;
    std::optional<Uid> selected_;
    std::optional<Authentication> auth_;
    std::optional<Block> transfer_;
    std::array<std::array<std::optional<Key>, kSectorCount>, 2> keys_{};
    std::array<std::uint8_t, kE2promSize> e2prom_{};
    std::uint32_t identity_ = kDefaultIdentity;
    // The clock: the time it was set to (seconds since 2000-01-01 00:00:00), its day of week,
    // and when it was set.
    std::int64_t clock_base_ = 0;
    std::uint8_t weekday_base_ = 1;
    Clock::time_point clock_set_at_{};
    std::uint64_t beeps_ = 0;
};

// Clock byte helpers (two BCD digits per byte).
std::optional<std::int64_t> clock_to_seconds(const ClockBytes& bytes);  // since 2000-01-01
ClockBytes clock_from_seconds(std::int64_t seconds_since_2000, std::uint8_t weekday);

}  // namespace tqrf_sim

#include "tqrf_sim/reader.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "tqrf_sim/frame.h"

namespace tqrf_sim {

namespace {

constexpr std::int64_t kDay = 86400;
constexpr std::int64_t kUnixTo2000 = 946684800;  // 2000-01-01 00:00:00 UTC
constexpr std::int64_t kCenturyDays = 36525;     // 2000-01-01 .. 2099-12-31

// Days since 1970-01-01 of a proleptic Gregorian date.
constexpr std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    using namespace std::chrono;
    return sys_days{year{static_cast<int>(y)} / month{m} / day{d}}.time_since_epoch().count();
}

struct Civil {
    std::int64_t year;
    unsigned month, day;
};

constexpr Civil civil_from_days(std::int64_t z) {
    using namespace std::chrono;
    const year_month_day ymd{sys_days{days{z}}};
    return {int{ymd.year()}, unsigned{ymd.month()}, unsigned{ymd.day()}};
}

constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

std::optional<unsigned> from_bcd(std::uint8_t b) {
    if ((b >> 4) > 9 || (b & 0x0F) > 9) return std::nullopt;
    return (b >> 4) * 10u + (b & 0x0Fu);
}

std::uint8_t to_bcd(unsigned v) {
    return static_cast<std::uint8_t>(((v / 10) << 4) | (v % 10));
}

unsigned days_in_month(std::int64_t y, unsigned m) {
    using namespace std::chrono;
    return unsigned{(year{static_cast<int>(y)} / month{m} / last).day()};
}

// ISO day of week, 1 = Monday, of a day counted from 1970-01-01.
std::uint8_t weekday_of(std::int64_t days_since_1970) {
    using namespace std::chrono;
    return static_cast<std::uint8_t>(weekday{sys_days{days{days_since_1970}}}.iso_encoding());
}

std::uint32_t le32(std::span<const std::uint8_t> p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

Reply status_only(Status s) {
    return Reply{{to_byte(s)}, {}};
}

Reply with_data(std::span<const std::uint8_t> data, Status s) {
    Reply r;
    r.payload.assign(data.begin(), data.end());
    r.payload.push_back(to_byte(s));
    return r;
}

}  // namespace

std::optional<std::int64_t> clock_to_seconds(const ClockBytes& b) {
    const auto sec = from_bcd(b[0]), min = from_bcd(b[1]), hour = from_bcd(b[2]),
               day = from_bcd(b[3]), month = from_bcd(b[4]), year = from_bcd(b[6]);
    if (!sec || !min || !hour || !day || !month || !year) return std::nullopt;
    if (*sec > 59 || *min > 59 || *hour > 23 || *month < 1 || *month > 12 || *day < 1) {
        return std::nullopt;
    }
    if (b[5] < 1 || b[5] > 7) return std::nullopt;
    const std::int64_t y = 2000 + *year;
    if (*day > days_in_month(y, *month)) return std::nullopt;
    const std::int64_t days = days_from_civil(y, *month, *day) - days_from_civil(2000, 1, 1);
    return days * kDay + *hour * 3600 + *min * 60 + *sec;
}

ClockBytes clock_from_seconds(std::int64_t t, std::uint8_t weekday) {
    t %= kCenturyDays * kDay;
    if (t < 0) t += kCenturyDays * kDay;
    const std::int64_t days = t / kDay;
    const std::int64_t in_day = t % kDay;
    const Civil c = civil_from_days(days + days_from_civil(2000, 1, 1));
    return {to_bcd(static_cast<unsigned>(in_day % 60)),
            to_bcd(static_cast<unsigned>(in_day / 60 % 60)),
            to_bcd(static_cast<unsigned>(in_day / 3600)),
            to_bcd(c.day),
            to_bcd(c.month),
            weekday,
            to_bcd(static_cast<unsigned>(c.year - 2000))};
}

std::size_t command_length(std::uint8_t code) {
    switch (code) {
        case cmd::kRequest:
        case cmd::kAnticoll:
        case cmd::kHalt:
        case cmd::kAuthenticate:
        case cmd::kRead:
        case cmd::kReadValue:
        case cmd::kRestore:
        case cmd::kTransfer:
        case cmd::kReset:
        case cmd::kHardwareVersion:
        case cmd::kReadId:
        case cmd::kReadE2:
        case cmd::kLinkTest:
        case cmd::kBeep:
        case cmd::kReadClock:
        case cmd::kCardFind:
            return 4;
        case cmd::kSelect:
        case cmd::kInitValue:
        case cmd::kIncrement:
        case cmd::kDecrement:
            return 7;
        case cmd::kLoadKey:
            return 10;
        case cmd::kSetClock:
            return 9;
        case cmd::kWrite:
            return 19;
        case cmd::kWriteE2:
            return 20;
        default:
            return 0;
    }
}

Reader::Reader(Clock::time_point start, std::int64_t utc_seconds) {
    power_on(start, utc_seconds);
}

Reader::Reader()
    : Reader(Clock::now(), std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count()) {}

void Reader::init_e2prom() {
    e2prom_.fill(0);
    constexpr char kProduct[] = "RC500SIM";
    std::memcpy(e2prom_.data() + 4, kProduct, 8);
    e2prom_[12] = 0x01;  // product version 1.0
    set_identity(identity_);
}

void Reader::set_identity(std::uint32_t id) {
    identity_ = id;
    for (unsigned i = 0; i < 4; ++i) e2prom_[i] = static_cast<std::uint8_t>(id >> (8 * i));
}

void Reader::power_on(Clock::time_point now, std::int64_t utc_seconds) {
    field_reset();
    for (auto& per_type : keys_) per_type.fill(std::nullopt);
    init_e2prom();
    clock_base_ = std::max<std::int64_t>(0, utc_seconds - kUnixTo2000) % (kCenturyDays * kDay);
    weekday_base_ = weekday_of(floor_div(clock_base_, kDay) + days_from_civil(2000, 1, 1));
    clock_set_at_ = now;
    beeps_ = 0;
}

void Reader::field_reset() {
    for (auto& c : field_) c.power_cycle();
    selected_.reset();
    end_session();
}

void Reader::end_session() {
    auth_.reset();
    transfer_.reset();
}

bool Reader::place(const MifareClassic& card) {
    if (this->card(card.uid()) != nullptr) return false;
    field_.push_back(card);
    field_.back().power_cycle();
    return true;
}

bool Reader::remove(const Uid& uid) {
    const auto it = std::find_if(field_.begin(), field_.end(),
                                 [&](const MifareClassic& c) { return c.uid() == uid; });
    if (it == field_.end()) return false;
    field_.erase(it);
    if (selected_ == uid) {
        selected_.reset();
        end_session();
    }
    return true;
}

void Reader::remove_all() {
    field_.clear();
    selected_.reset();
    end_session();
}

std::vector<Uid> Reader::uids() const {
    std::vector<Uid> out;
    for (const auto& c : field_) out.push_back(c.uid());
    return out;
}

const MifareClassic* Reader::card(const Uid& uid) const {
    for (const auto& c : field_) {
        if (c.uid() == uid) return &c;
    }
    return nullptr;
}

MifareClassic* Reader::card(const Uid& uid) {
    return const_cast<MifareClassic*>(std::as_const(*this).card(uid));
}

std::optional<Key> Reader::loaded_key(KeyType type, std::size_t sector) const {
    if (sector >= kSectorCount) return std::nullopt;
    return keys_[static_cast<std::size_t>(type)][sector];
}

ClockBytes Reader::clock_at(Clock::time_point now) const {
    std::int64_t elapsed =
        std::chrono::duration_cast<std::chrono::seconds>(now - clock_set_at_).count();
    if (elapsed < 0) elapsed = 0;
    const std::int64_t t = clock_base_ + elapsed;
    const std::int64_t days = floor_div(t, kDay) - floor_div(clock_base_, kDay);
    const auto weekday = static_cast<std::uint8_t>((weekday_base_ - 1 + days) % 7 + 1);
    return clock_from_seconds(t, weekday);
}

Reply Reader::handle(std::span<const std::uint8_t> payload, Clock::time_point now) {
    return answer(payload, now);
}

Status Reader::request(std::uint8_t code) {
    // A request starts a new sequence: cards left ready or active by an unfinished one go back
    // to rest first (a real card would need one request more to notice).
    for (auto& c : field_) c.to_rest();
    selected_.reset();
    end_session();
    bool answered = false;
    for (auto& c : field_) answered = c.on_request(code == kRequestAll) || answered;
    return answered ? Status::Ok : Status::NoCard;
}

// The anticollision argument counts the ready cards in ascending order of UID: 0 singles out
// the lowest, 1 the next one, and so on.
Status Reader::anticoll(std::uint8_t index, Uid& uid) const {
    std::vector<Uid> ready;
    for (const auto& c : field_) {
        if (c.state() == CardState::Ready) ready.push_back(c.uid());
    }
    std::sort(ready.begin(), ready.end());
    if (index >= ready.size()) return Status::NoCard;
    uid = ready[index];
    return Status::Ok;
}

Status Reader::select(const Uid& uid) {
    MifareClassic* target = card(uid);
    if (target == nullptr || target->state() != CardState::Ready) return Status::NoCard;
    // The others see a select that is not theirs and go back to rest.
    for (auto& c : field_) {
        if (&c != target) c.to_rest();
    }
    target->on_select(uid);
    selected_ = uid;
    end_session();
    return Status::Ok;
}

MifareClassic* Reader::session_for(std::size_t block, Status& status) {
    if (block >= kBlockCount) {
        status = Status::BadParameter;
        return nullptr;
    }
    MifareClassic* c = selected_ ? card(*selected_) : nullptr;
    if (c == nullptr || c->state() != CardState::Active) {
        status = Status::NoCard;
        return nullptr;
    }
    if (!auth_ || auth_->sector != block / 4) {
        status = Status::NotAuthenticated;
        return nullptr;
    }
    status = Status::Ok;
    return c;
}

Reply Reader::answer(std::span<const std::uint8_t> p, Clock::time_point now) {
    if (p.size() < 2 || p[0] != kCommandLead || command_length(p[1]) == 0) {
        return status_only(Status::UnknownCommand);
    }
    if (p.size() != command_length(p[1])) return status_only(Status::BadParameter);
    const std::uint8_t code = p[1];

    switch (code) {
        case cmd::kRequest: {
            if (p[2] != kRequestIdle && p[2] != kRequestAll)
                return status_only(Status::BadParameter);
            const Status s = request(p[2]);
            return s == Status::Ok ? with_data(kAtqa, s) : status_only(s);
        }
        case cmd::kAnticoll: {
            Uid uid{};
            const Status s = anticoll(p[3], uid);
            return s == Status::Ok ? with_data(uid, s) : status_only(s);
        }
        case cmd::kSelect: {
            const Uid uid{p[2], p[3], p[4], p[5]};
            const Status s = select(uid);
            return s == Status::Ok ? with_data(std::array{kSak}, s) : status_only(s);
        }
        case cmd::kHalt: {
            MifareClassic* c = selected_ ? card(*selected_) : nullptr;
            if (c == nullptr || c->state() != CardState::Active) return status_only(Status::NoCard);
            c->halt();
            selected_.reset();
            end_session();
            return status_only(Status::Ok);
        }
        case cmd::kCardFind: {
            // Request, anticollision (the lowest UID) and select in one exchange. Reply data:
            // card type (2 bytes), size byte, serial number (4 bytes).
            if (p[2] != kRequestIdle && p[2] != kRequestAll)
                return status_only(Status::BadParameter);
            Status s = request(p[2]);
            Uid uid{};
            if (s == Status::Ok) s = anticoll(0, uid);
            if (s == Status::Ok) s = select(uid);
            if (s != Status::Ok) return status_only(s);
            const std::array<std::uint8_t, 7> data{kAtqa[0], kAtqa[1], kSak,  uid[0],
                                                   uid[1],   uid[2],   uid[3]};
            return with_data(data, Status::Ok);
        }
        case cmd::kLoadKey: {
            if ((p[2] != kKeyTypeA && p[2] != kKeyTypeB) || p[3] >= kSectorCount) {
                return status_only(Status::BadParameter);
            }
            Key key{};
            std::copy_n(p.begin() + 4, 6, key.begin());
            keys_[p[2] == kKeyTypeA ? 0 : 1][p[3]] = key;
            return status_only(Status::Ok);
        }
        case cmd::kAuthenticate: {
            if ((p[2] != kKeyTypeA && p[2] != kKeyTypeB) || p[3] >= kSectorCount) {
                return status_only(Status::BadParameter);
            }
            const KeyType type = p[2] == kKeyTypeA ? KeyType::A : KeyType::B;
            MifareClassic* c = selected_ ? card(*selected_) : nullptr;
            if (c == nullptr || c->state() != CardState::Active) return status_only(Status::NoCard);
            end_session();
            const auto& key = keys_[static_cast<std::size_t>(type)][p[3]];
            if (!key) return status_only(Status::KeyNotLoaded);
            const Status s = c->authenticate(type, p[3], *key);
            if (s != Status::Ok) {
                // A card that fails an authentication drops out of the sequence.
                c->to_rest();
                selected_.reset();
                return status_only(s);
            }
            auth_ = Authentication{p[3], type};
            return status_only(Status::Ok);
        }
        case cmd::kRead: {
            Status s;
            MifareClassic* c = session_for(p[2], s);
            if (c == nullptr) return status_only(s);
            Block b{};
            s = c->read(p[2], auth_->key, b);
            return s == Status::Ok ? with_data(b, s) : status_only(s);
        }
        case cmd::kWrite: {
            Status s;
            MifareClassic* c = session_for(p[2], s);
            if (c == nullptr) return status_only(s);
            Block b{};
            std::copy_n(p.begin() + 3, kBlockSize, b.begin());
            return status_only(c->write(p[2], auth_->key, b));
        }
        case cmd::kInitValue: {
            Status s;
            MifareClassic* c = session_for(p[2], s);
            if (c == nullptr) return status_only(s);
            return status_only(c->init_value(p[2], auth_->key, le32(p.subspan(3, 4))));
        }
        case cmd::kReadValue: {
            Status s;
            MifareClassic* c = session_for(p[2], s);
            if (c == nullptr) return status_only(s);
            std::uint32_t v = 0;
            s = c->read_value(p[2], auth_->key, v);
            if (s != Status::Ok) return status_only(s);
            const std::array<std::uint8_t, 4> data{
                static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
            return with_data(data, s);
        }
        case cmd::kIncrement:
        case cmd::kDecrement:
        case cmd::kRestore: {
            Status s;
            MifareClassic* c = session_for(p[2], s);
            if (c == nullptr) return status_only(s);
            const Access right =
                code == cmd::kIncrement ? Access::Increment : Access::DecrementTransferRestore;
            Block b{};
            s = c->load_value(p[2], auth_->key, right, b);
            if (s != Status::Ok) return status_only(s);
            if (code != cmd::kRestore) {
                // Card arithmetic is modulo 2^32: amounts travel as their bits.
                const std::uint32_t amount = le32(p.subspan(3, 4));
                const std::uint32_t value = *parse_value_block(b);
                const std::uint32_t result =
                    code == cmd::kIncrement ? value + amount : value - amount;
                b = make_value_block(result, b[12]);
            }
            transfer_ = b;
            return status_only(Status::Ok);
        }
        case cmd::kTransfer: {
            Status s;
            MifareClassic* c = session_for(p[2], s);
            if (c == nullptr) return status_only(s);
            if (!transfer_) return status_only(Status::NoTransferValue);
            s = c->transfer(p[2], auth_->key, *transfer_);
            if (s == Status::Ok) transfer_.reset();
            return status_only(s);
        }
        case cmd::kReset:
            if (p[2] != kFixedParameter) return status_only(Status::BadParameter);
            field_reset();
            return status_only(Status::Ok);
        case cmd::kLinkTest:
            if (p[2] != kFixedParameter) return status_only(Status::BadParameter);
            return status_only(Status::Ok);
        case cmd::kHardwareVersion: {
            const std::string_view text = kHardwareVersionText;
            Reply r;
            r.payload.assign(text.begin(), text.end());
            r.payload.push_back(to_byte(Status::Ok));
            return r;
        }
        case cmd::kReadId: {
            const std::array<std::uint8_t, 4> data{static_cast<std::uint8_t>(identity_),
                                                   static_cast<std::uint8_t>(identity_ >> 8),
                                                   static_cast<std::uint8_t>(identity_ >> 16),
                                                   static_cast<std::uint8_t>(identity_ >> 24)};
            return with_data(data, Status::Ok);
        }
        case cmd::kReadE2: {
            // Byte addresses; a read gives the 16 bytes from the address on, wrapping at 256.
            std::array<std::uint8_t, 16> data{};
            for (std::size_t i = 0; i < data.size(); ++i) {
                data[i] = e2prom_[(p[2] + i) % kE2promSize];
            }
            return with_data(data, Status::Ok);
        }
        case cmd::kWriteE2: {
            if (p[2] != kFixedParameter || p[3] > 0x7F) return status_only(Status::BadParameter);
            if (p[3] < kE2promProtected) return status_only(Status::E2promProtected);
            std::copy_n(p.begin() + 4, 16, e2prom_.begin() + p[3]);
            return status_only(Status::Ok);
        }
        case cmd::kBeep: {
            // Mode 0 answers when the beep is over; other modes answer at once.
            const unsigned duration = std::min<unsigned>(p[3], 240);
            ++beeps_;
            Reply r = status_only(Status::Ok);
            if (p[2] == 0) r.hold = std::chrono::milliseconds(duration * 10);
            return r;
        }
        case cmd::kReadClock: {
            const ClockBytes c = clock_at(now);
            return with_data(c, Status::Ok);
        }
        case cmd::kSetClock: {
            ClockBytes c{};
            std::copy_n(p.begin() + 2, kClockSize, c.begin());
            const auto seconds = clock_to_seconds(c);
            if (!seconds) return status_only(Status::BadParameter);
            clock_base_ = *seconds;
            weekday_base_ = c[5];
            clock_set_at_ = now;
            return status_only(Status::Ok);
        }
        default:
            break;
    }
    return status_only(Status::UnknownCommand);
}

}  // namespace tqrf_sim

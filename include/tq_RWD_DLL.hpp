// tq_RWD_DLL.hpp - header-only C++ API over the tq_RWD_DLL C exports (C++17 or later).
//
//   #include <tq_RWD_DLL.hpp>
//
//   auto port = tqrf::Port::open("/dev/ttyUSB0");      // or "COM3"
//   if (!port) { std::cerr << port.error().message() << '\n'; return 1; }
//   auto card = port->select_card();                     // request, anticollision, select
//   if (!card) ...
//   if (auto r = port->login(1, tqrf::KeyType::A, tqrf::kDefaultKey); !r) ...
//   auto block = port->read(4);                          // Result<tqrf::Block>
//   if (block) std::cout << block->hex() << '\n';
//
// Every call returns a tqrf::Result<T>: either its data or a std::error_code. Codes of the
// library and the reader's status bytes belong to tqrf::category(), whose messages name each
// ERR_* code and "reader status N"; arguments that the C++ API itself refuses (a block number
// above 63, for instance) give std::errc::argument_out_of_domain. Nothing here throws unless a
// caller asks a failed Result for its value.
//
// One port per process: the library keeps a single open port for the whole process, so at most
// one tqrf::Port can be open at a time (a second open gives ERR_PORT_IN_USE), and calls must not
// overlap across threads. A Port closes the port in its destructor; it can be moved, not copied.
#ifndef TQ_RWD_DLL_HPP
#define TQ_RWD_DLL_HPP

#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>

#include "tq_RWD_DLL.h"
#include "tq_RWD_DLL_mifare.hpp"

namespace tqrf {

// ---- Result codes as std::error_code ---------------------------------------------------------

// The library's own codes. Reader status bytes (1 to 255) are codes of the same category.
enum class errc : int {
    failed = ERR_FAILED,
    port_in_use = ERR_PORT_IN_USE,
    port_open_failed = ERR_PORT_OPEN_FAILED,
    port_not_open = ERR_PORT_NOT_OPEN,
    send_failed = ERR_SEND_FAILED,
    reply_checksum = ERR_REPLY_CHECKSUM,
    reply_frame = ERR_REPLY_FRAME,
};

class ErrorCategory final : public std::error_category {
  public:
    const char* name() const noexcept override { return "tqrf"; }

    std::string message(int code) const override {
        switch (code) {
            case TQRF_OK:
                return "done";
            case ERR_FAILED:
                return "ERR_FAILED: the call failed (line settings refused, argument refused, or "
                       "no port to close)";
            case ERR_PORT_IN_USE:
                return "ERR_PORT_IN_USE: a port is already open in this process";
            case ERR_PORT_OPEN_FAILED:
                return "ERR_PORT_OPEN_FAILED: the serial device could not be opened (missing, "
                       "busy or not permitted)";
            case ERR_PORT_NOT_OPEN:
                return "ERR_PORT_NOT_OPEN: no port is open";
            case ERR_SEND_FAILED:
                return "ERR_SEND_FAILED: the request was not written whole";
            case ERR_REPLY_CHECKSUM:
                return "ERR_REPLY_CHECKSUM: the reader's reply failed its checksum";
            case ERR_REPLY_FRAME:
                return "ERR_REPLY_FRAME: no reply from the reader in time, or a malformed reply";
            default:
                break;
        }
        if (code > 0 && code <= 255) return "reader status " + std::to_string(code);
        return "unknown result code " + std::to_string(code);
    }
};

inline const std::error_category& category() noexcept {
    static const ErrorCategory instance;
    return instance;
}

inline std::error_code make_error_code(errc e) noexcept {
    return {static_cast<int>(e), category()};
}

// The error_code of a C result (0 gives a code that tests false).
inline std::error_code result_code(std::int32_t result) noexcept {
    return result == 0 ? std::error_code{} : std::error_code{result, category()};
}

// True when the code is a status byte the reader sent (1 to 255), not a library code.
inline bool is_reader_status(const std::error_code& ec) noexcept {
    return ec.category() == category() && ec.value() > 0 && ec.value() <= 255;
}

}  // namespace tqrf

template <>
struct std::is_error_code_enum<tqrf::errc> : std::true_type {};

namespace tqrf {

// ---- Result<T> --------------------------------------------------------------------------------

// Either a value or an error code. Test it (`if (r)`) before using the value; value() on a
// failed Result throws std::system_error, operator* on one is undefined.
template <class T>
class [[nodiscard]] Result {
  public:
    Result(const T& v) : has_(true) { new (&storage_) T(v); }
    Result(T&& v) : has_(true) { new (&storage_) T(std::move(v)); }
    Result(std::error_code ec) : has_(false), ec_(ec) {}
    Result(errc e) : Result(make_error_code(e)) {}

    Result(const Result& o) : has_(o.has_), ec_(o.ec_) {
        if (has_) new (&storage_) T(*o);
    }
    Result(Result&& o) noexcept(std::is_nothrow_move_constructible_v<T>)
        : has_(o.has_), ec_(o.ec_) {
        if (has_) new (&storage_) T(std::move(*o));
    }
    Result& operator=(const Result& o) {
        if (this != &o) {
            reset();
            ec_ = o.ec_;
            if (o.has_) new (&storage_) T(*o);
            has_ = o.has_;
        }
        return *this;
    }
    Result& operator=(Result&& o) noexcept(std::is_nothrow_move_constructible_v<T>) {
        if (this != &o) {
            reset();
            ec_ = o.ec_;
            if (o.has_) new (&storage_) T(std::move(*o));
            has_ = o.has_;
        }
        return *this;
    }
    ~Result() { reset(); }

    bool has_value() const noexcept { return has_; }
    explicit operator bool() const noexcept { return has_; }
    std::error_code error() const noexcept { return ec_; }

    T& operator*() & noexcept { return *ptr(); }
    const T& operator*() const& noexcept { return *ptr(); }
    T&& operator*() && noexcept { return std::move(*ptr()); }
    T* operator->() noexcept { return ptr(); }
    const T* operator->() const noexcept { return ptr(); }

    T& value() & {
        check();
        return *ptr();
    }
    const T& value() const& {
        check();
        return *ptr();
    }
    T&& value() && {
        check();
        return std::move(*ptr());
    }
    template <class U>
    T value_or(U&& fallback) const& {
        return has_ ? *ptr() : static_cast<T>(std::forward<U>(fallback));
    }

  private:
    T* ptr() noexcept { return std::launder(reinterpret_cast<T*>(&storage_)); }
    const T* ptr() const noexcept { return std::launder(reinterpret_cast<const T*>(&storage_)); }
    void check() const {
        if (!has_) throw std::system_error(ec_);
    }
    void reset() noexcept {
        if (has_) ptr()->~T();
        has_ = false;
    }

    alignas(T) unsigned char storage_[sizeof(T)];
    bool has_;
    std::error_code ec_;
};

// Success without data, or an error code.
template <>
class [[nodiscard]] Result<void> {
  public:
    Result() = default;
    Result(std::error_code ec) : ec_(ec) {}
    Result(errc e) : ec_(make_error_code(e)) {}

    bool has_value() const noexcept { return !ec_; }
    explicit operator bool() const noexcept { return !ec_; }
    std::error_code error() const noexcept { return ec_; }
    void value() const {
        if (ec_) throw std::system_error(ec_);
    }

  private:
    std::error_code ec_;
};

using Status = Result<void>;

// ---- Reader data ------------------------------------------------------------------------------

enum class RequestMode : std::uint8_t {
    Idle = 0,  // REQA: cards not halted
    All = 1,   // WUPA: halted cards too
};

// What request, anticollision and select give about the card in the field.
struct CardInfo {
    CardType type;
    Uid uid;
    SizeByte size = 0;
};

// The seven clock bytes of the reader, in the reader's own layout.
using ClockBytes = std::array<std::uint8_t, 7>;

// Room for any reply's data bytes (a reply carries at most 101).
using ReplyBytes = std::array<std::uint8_t, 101>;

// ---- Port -------------------------------------------------------------------------------------

class Port {
  public:
    // Opens "COMn" through tqrf_init() (POSIX maps COMn to /dev/ttyS(n-1)); any other name is
    // taken as a device path and opened through tqrf_init_device(). Only one port per process:
    // while another Port is open this gives ERR_PORT_IN_USE.
    static Result<Port> open(std::string_view name) {
        if (is_com_name(name)) return open_com_name(name);
        return open_device(std::string(name));
    }

    // Opens a COM port by number.
    static Result<Port> open_com(unsigned number) {
        return open_com_name("COM" + std::to_string(number));
    }

    // Opens a device path as given ("/dev/ttyUSB0", a pseudo-terminal, "\\.\COM12").
    static Result<Port> open_device(const std::string& path) {
        return finish_open(tqrf_init_device(path.c_str()));
    }

    // "COM" (any case) followed by 1 to 3 decimal digits.
    static bool is_com_name(std::string_view name) noexcept {
        if (name.size() < 4 || name.size() > 6) return false;
        for (std::size_t i = 0; i < 3; ++i) {
            const char c = static_cast<char>(name[i] & ~0x20);
            if (c != "COM"[i]) return false;
        }
        for (std::size_t i = 3; i < name.size(); ++i) {
            if (name[i] < '0' || name[i] > '9') return false;
        }
        return true;
    }

    Port() noexcept = default;
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    Port(Port&& other) noexcept : open_(std::exchange(other.open_, false)) {}
    Port& operator=(Port&& other) noexcept {
        if (this != &other) {
            (void)close();
            open_ = std::exchange(other.open_, false);
        }
        return *this;
    }
    ~Port() { (void)close(); }

    bool is_open() const noexcept { return open_; }

    // Closes the port now; the destructor does nothing afterwards.
    Status close() noexcept {
        if (!open_) return {};
        open_ = false;
        return status(tqrf_exit());
    }

    // Changes the line rate until the next command (every command sets 19200 baud again).
    Status set_baud(unsigned rate) { return status(tqrf_BaudSetup(std::to_string(rate).c_str())); }

    // ---- Card selection

    Result<CardType> request(RequestMode mode = RequestMode::Idle) {
        CardType type;
        return data(tqrf_request(static_cast<std::int32_t>(mode), type.data()), type);
    }

    Result<Uid> anticoll(std::uint8_t arg = 0) {
        Uid uid;
        return data(tqrf_anticoll(arg, uid.data()), uid);
    }

    Result<SizeByte> select(const Uid& uid) {
        SizeByte size = 0;
        return data(tqrf_select(uid.data(), &size), size);
    }

    Status halt() { return status(tqrf_halt()); }

    // Request, anticollision and select in turn.
    Result<CardInfo> select_card(RequestMode mode = RequestMode::Idle) {
        CardInfo info;
        auto type = request(mode);
        if (!type) return type.error();
        info.type = *type;
        auto uid = anticoll();
        if (!uid) return uid.error();
        info.uid = *uid;
        auto size = select(info.uid);
        if (!size) return size.error();
        info.size = *size;
        return info;
    }

    // Finds and selects a card in one exchange (the reader's combined command).
    Result<CardInfo> find_card(RequestMode mode = RequestMode::Idle) {
        char type_text[4], uid_text[8], size_text[2];
        const std::int32_t r =
            tqrf_card_asc(static_cast<std::int32_t>(mode), 0, type_text, uid_text, size_text);
        if (r != 0) return result_code(r);
        auto type = CardType::from_hex(std::string_view(type_text, 4));
        auto uid = Uid::from_hex(std::string_view(uid_text, 8));
        auto size = Bytes<1, void>::from_hex(std::string_view(size_text, 2));
        if (!type || !uid || !size) return errc::reply_frame;
        return CardInfo{*type, *uid, (*size)[0]};
    }

    // ---- Keys and authentication

    Status load_key(KeyType type, int sector, const Key& key) {
        if (!valid_sector(sector)) return bad_argument();
        return status(tqrf_loadkey(static_cast<std::int32_t>(type), sector, key.data()));
    }

    Status authenticate(KeyType type, int sector) {
        if (!valid_sector(sector)) return bad_argument();
        return status(tqrf_authentication(static_cast<std::int32_t>(type), sector));
    }

    // Loads the key for the sector and authenticates with it.
    Status login(int sector, KeyType type, const Key& key) {
        if (auto r = load_key(type, sector, key); !r) return r;
        return authenticate(type, sector);
    }

    // ---- Blocks

    Result<Block> read(int block) {
        if (!valid_block(block)) return bad_argument();
        Block out;
        return data(tqrf_read(block, out.data()), out);
    }

    Status write(int block, const Block& data) {
        if (!valid_block(block)) return bad_argument();
        return status(tqrf_write(block, data.data()));
    }

    // ---- Value blocks (the card does the arithmetic; values are signed 32-bit on the card)

    Status init_value(int block, std::int32_t value) {
        if (!valid_block(block)) return bad_argument();
        return status(tqrf_initval(block, static_cast<std::uint32_t>(value)));
    }

    Result<std::int32_t> read_value(int block) {
        if (!valid_block(block)) return bad_argument();
        std::uint32_t v = 0;
        const std::int32_t r = tqrf_readval(block, &v);
        if (r != 0) return result_code(r);
        return static_cast<std::int32_t>(v);
    }

    // Increment, decrement and restore leave their result in the card's transfer buffer;
    // transfer() writes it into a block.
    Status increment(int block, std::uint32_t amount) {
        if (!valid_block(block)) return bad_argument();
        return status(tqrf_increment(block, amount));
    }
    Status decrement(int block, std::uint32_t amount) {
        if (!valid_block(block)) return bad_argument();
        return status(tqrf_decrement(block, amount));
    }
    Status restore(int block) {
        if (!valid_block(block)) return bad_argument();
        return status(tqrf_restore(block));
    }
    Status transfer(int block) {
        if (!valid_block(block)) return bad_argument();
        return status(tqrf_transfer(block));
    }

    // ---- Reader device

    Status reset() { return status(tqrf_reset(0)); }

    // The reader's version text (its data bytes up to the first NUL).
    Result<std::string> hardware_version() {
        ReplyBytes buf{};
        const std::int32_t r = tqrf_ReadHardwareVersionNumber(buf.data());
        if (r != 0) return result_code(r);
        std::size_t n = 0;
        while (n < buf.size() && buf[n] != 0) ++n;
        return std::string(reinterpret_cast<const char*>(buf.data()), n);
    }

    Result<std::uint32_t> reader_id() {
        std::uint32_t id = 0;
        return data(tqrf_Read_RWD_ID(&id), id);
    }

    Status link_test() { return status(tqrf_Link_PCandRWD()); }

    // Reads 16 bytes of the RC500 chip's E2PROM from the address on.
    Result<Block> read_e2(std::uint8_t address) {
        ReplyBytes buf{};
        const std::int32_t r = tqrf_Read_RC500E2(address, buf.data());
        if (r != 0) return result_code(r);
        Block out;
        std::memcpy(out.data(), buf.data(), out.size());
        return out;
    }

    // Writes 16 bytes to the E2PROM; addresses 0 to 127.
    Status write_e2(std::uint8_t address, const Block& data) {
        if (address > 0x7F) return bad_argument();
        return status(tqrf_Write_RC500E2(address, data.data()));
    }

    // Sounds the beeper for duration_10ms * 10 ms (at most 2.4 s); waits for it to end.
    Status beep(std::uint8_t duration_10ms) {
        return status(tqrf_BeepControl(0, duration_10ms > 240 ? 240 : duration_10ms));
    }

    Result<ClockBytes> read_clock() {
        ReplyBytes buf{};
        const std::int32_t r = tqrf_UploadRTC(buf.data());
        if (r != 0) return result_code(r);
        ClockBytes out{};
        std::memcpy(out.data(), buf.data(), out.size());
        return out;
    }

    Status set_clock(const ClockBytes& clock) { return status(tqrf_DownloadRTC(clock.data())); }

  private:
    explicit Port(bool opened) noexcept : open_(opened) {}

    static Result<Port> open_com_name(std::string_view name) {
        // tqrf_init shortens the name in place, so it gets a writable copy.
        std::array<char, 8> buf{};
        std::memcpy(buf.data(), name.data(), name.size() < 7 ? name.size() : 7);
        return finish_open(tqrf_init(buf.data()));
    }

    static Result<Port> finish_open(std::int32_t r) {
        if (r == 0) return Port(true);
        // -1 after the device opened means the line could not be configured; the port stays
        // open in the library, so release it rather than leave it held with no owner.
        if (r == ERR_FAILED) (void)tqrf_exit();
        return result_code(r);
    }

    static bool valid_block(int block) noexcept { return block >= 0 && block < mifare::kBlocks; }
    static bool valid_sector(int sector) noexcept {
        return sector >= 0 && sector < mifare::kSectors;
    }
    static std::error_code bad_argument() noexcept {
        return std::make_error_code(std::errc::argument_out_of_domain);
    }
    static Status status(std::int32_t r) noexcept { return Status(result_code(r)); }
    template <class T>
    static Result<T> data(std::int32_t r, const T& value) {
        if (r != 0) return result_code(r);
        return value;
    }

    bool open_ = false;
};

}  // namespace tqrf

#endif  // TQ_RWD_DLL_HPP

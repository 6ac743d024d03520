// tq_RWD_DLL.hpp - C++ API over the tq_RWD_DLL C exports (C++17 or later; link tq_RWD_DLL).
//
//   #include <tq_RWD_DLL.hpp>
//
//   auto reader = tqrf::Reader::open("/dev/ttyUSB0");   // or "COM3"
//   if (!reader) { std::cerr << reader.error().message() << '\n'; return 1; }
//   auto card = reader->find_card();                     // the reader's one-exchange select
//   if (!card) ...
//   if (auto r = reader->login(1, tqrf::KeyType::A, tqrf::kDefaultKey); !r) ...
//   auto block = reader->read(4);                        // Result<tqrf::Block>
//   if (block) std::cout << block->hex() << '\n';
//
// tqrf::Reader is one open reader (a tqrf_reader handle): any number of them at once, each on
// its own port; one Reader may be shared by several threads, since the library takes the
// reader's lock for every call. Replies are checked against the request (a reply without the
// data its command must carry is an error, never zeros), and are taken as soon as they are
// complete unless the reader is set to the fixed pause of the legacy exports
// (ReplyMode::Fixed).
//
// Every call returns a tqrf::Result<T>: either its data or a std::error_code. Codes of the
// library belong to tqrf::category(); its messages name each code ("TQRF_ERR_REPLY_FRAME: ...")
// with the texts of tqrf_strerror(). A status byte with which the reader refused a Reader call
// belongs to that command's refusal_category(), whose message says what the refusal means
// ("no card answered: ... (reader status 0x11)", tqrf_refusal_text()). Nothing here throws
// unless a caller asks a failed Result for its value.
//
// Only C types cross the library's interface: this header is compiled into the program that
// includes it, with the program's own compiler and C++ runtime, so it works with a library (or
// DLL) built by another compiler or with another runtime.
#ifndef TQ_RWD_DLL_HPP
#define TQ_RWD_DLL_HPP

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "tq_RWD_DLL.h"
#include "tq_RWD_DLL_mifare.hpp"

namespace tqrf {

// ---- Result codes as std::error_code ---------------------------------------------------------

// The library's own codes, one for each TQRF_ERR_* code (TQRF_RESULTS). Reader status bytes
// (1 to 255) are codes of the same category.
enum class errc : int {
#define TQRF_ERRC_ENUMERATOR(name, word, text) word = name,
    TQRF_RESULTS(TQRF_ERRC_ENUMERATOR)
#undef TQRF_ERRC_ENUMERATOR
};

namespace detail {

// The macro name of a library code ("TQRF_ERR_REPLY_FRAME"), or null.
inline const char* result_name(int code) noexcept {
    switch (code) {
#define TQRF_RESULT_NAME(name, word, text) \
    case name:                             \
        return #name;
        TQRF_RESULTS(TQRF_RESULT_NAME)
#undef TQRF_RESULT_NAME
        default:
            return nullptr;
    }
}

class Category final : public std::error_category {
  public:
    constexpr Category() noexcept = default;

    const char* name() const noexcept override { return "tqrf"; }

    // "TQRF_ERR_REPLY_FRAME: <text>" for the library's codes, tqrf_strerror()'s "reader status
    // 20 (0x14)" for the reader's status bytes, "unknown result code N" for anything else.
    std::string message(int code) const override {
        if (const char* name = result_name(code)) {
            return std::string(name) + ": " + tqrf_strerror(code);
        }
        if (code > 0 && code <= 255) return tqrf_strerror(code);
        char text[40];
        std::snprintf(text, sizeof text, "unknown result code %d", code);
        return text;
    }
};

// Never destroyed: codes may still be compared or printed while the process shuts down.
union CategoryHolder {
    Category category;
    constexpr CategoryHolder() noexcept : category() {}
    ~CategoryHolder() {}
};

}  // namespace detail

// The category of the library's codes and the reader's status bytes; its name() is "tqrf".
// It is made by this header, so each module that includes it (the program, each DLL, each
// shared object built with hidden symbols) has its own object: std::error_code values made in
// different such modules do not compare equal with ==. is_library_code() recognises all of
// them, and their value() is the result code.
inline const std::error_category& category() noexcept {
    static detail::CategoryHolder holder;  // constant-initialised: no guard, no destructor run
    return holder.category;
}

inline std::error_code make_error_code(errc e) noexcept {
    return {static_cast<int>(e), category()};
}

// The error_code of a C result (0 gives a code that tests false).
inline std::error_code result_code(std::int32_t result) noexcept {
    return result == 0 ? std::error_code{} : std::error_code{result, category()};
}

// True when the code is a result of the library (a TQRF_ERR_* code or a reader status byte),
// whichever module made it.
inline bool is_library_code(const std::error_code& ec) noexcept {
    return ec && (&ec.category() == &category() || std::strcmp(ec.category().name(), "tqrf") == 0);
}

// True when the code is a status byte the reader sent (1 to 255), not a library code.
inline bool is_reader_status(const std::error_code& ec) noexcept {
    return is_library_code(ec) && ec.value() > 0 && ec.value() <= 255;
}

namespace detail {

// The reader's status bytes as one command's refusals: the same codes (named "tqrf", so that
// is_library_code() and is_reader_status() know them), told with what a refusal of that command
// means: "the key is wrong, or ... (reader status 0x12)", from tqrf_refusal_text().
class RefusalCategory final : public std::error_category {
  public:
    constexpr explicit RefusalCategory(std::int32_t command) noexcept : command_(command) {}

    const char* name() const noexcept override { return "tqrf"; }

    std::string message(int code) const override {
        char text[TQRF_REFUSAL_TEXT_MAX];
        if (tqrf_refusal_text(command_, code, text, sizeof text) > 0) return text;
        return category().message(code);
    }

    std::int32_t command() const noexcept { return command_; }

  private:
    std::int32_t command_;
};

template <std::int32_t Command>
union RefusalHolder {
    RefusalCategory category;
    constexpr RefusalHolder() noexcept : category(Command) {}
    ~RefusalHolder() {}
};

}  // namespace detail

// The category of the status bytes with which the reader refuses command `Command`
// (TQRF_COMMAND_*): the Reader's calls give their refusals in it, so that their message() says
// what the refusal means. Their value() is the status byte; compare it, not the error_code, with
// result_code() (a different category).
template <std::int32_t Command>
const std::error_category& refusal_category() noexcept {
    static detail::RefusalHolder<Command> holder;  // constant-initialised, never destroyed
    return holder.category;
}

// The error_code of a C result of command `Command`: a status byte in its refusal category.
template <std::int32_t Command>
std::error_code refusal_code(std::int32_t result) noexcept {
    return result > 0 && result <= 255 ? std::error_code{result, refusal_category<Command>()}
                                       : result_code(result);
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

// Room for any reply's data bytes.
using ReplyBytes = std::array<std::uint8_t, TQRF_REPLY_DATA_MAX>;

// ---- Reader ----------------------------------------------------------------------------------

// How a Reader takes each reply (TQRF_OPTION_REPLY_MODE).
enum class ReplyMode : std::int32_t {
    Fixed = TQRF_REPLY_FIXED,        // pause the command's fixed time, then read once (legacy)
    Complete = TQRF_REPLY_COMPLETE,  // return as soon as the reply frame is complete (default)
};

// What a trace callback is told about.
enum class TraceEvent : std::int32_t {
    Address = TQRF_TRACE_ADDRESS,  // the address byte, sent with mark parity
    Frame = TQRF_TRACE_FRAME,      // the request frame, sent with space parity
    Reply = TQRF_TRACE_REPLY,      // the bytes taken as the reply (received in space parity)
    Result = TQRF_TRACE_RESULT,    // the end of a call: no bytes, `result` is its result
    Retry = TQRF_TRACE_RETRY,      // a lost reply dealt with: command code, attempt, what done
};

// One trace event. `bytes` is valid only during the callback.
struct Trace {
    TraceEvent event = TraceEvent::Result;
    std::int32_t result = 0;  // the call's result for TraceEvent::Result, else 0
    const std::uint8_t* bytes = nullptr;
    std::size_t count = 0;
    std::chrono::microseconds time{0};  // monotonic, the same origin for every reader

    // In the request frame of a load-key command (0x61) the bytes from key_offset on, the six
    // key bytes and the XOR byte that follows them, give the key away: a trace that is written
    // down should show them as "**" unless the user asked for keys.
    static constexpr std::size_t key_offset = 6;
    bool carries_key() const noexcept {
        return event == TraceEvent::Frame && bytes != nullptr && count > key_offset &&
               bytes[2] == 0xBB && bytes[3] == 0x61;
    }
};

// Called on the calling thread inside each exchange, with the reader's lock held: it must not
// call the same Reader, and should return quickly. Exceptions it throws are swallowed.
using TraceFunction = std::function<void(const Trace&)>;

struct ReaderOptions {
    ReplyMode reply_mode = ReplyMode::Complete;
    // Extra time allowed for a reply in complete mode, 0 to 1000 ms (slow USB adapters).
    std::chrono::milliseconds reply_slack{0};
    // Attempts in all, 1 to 10, for a command whose reply is lost, late, garbled or of the
    // wrong length, where a repeat is safe (TQRF_OPTION_ATTEMPTS; the C handle's default is 1).
    int attempts = 3;
};

// A reader's counters (Reader::stats()), from its open on.
struct ReaderStats {
    std::uint64_t requests = 0;    // command calls that went to the line
    std::uint64_t retries = 0;     // commands sent again, value changes made again
    std::uint64_t recoveries = 0;  // calls that lost a reply and still succeeded
    std::uint64_t failures = 0;    // calls that ended on a lost reply, not_applied, value_conflict
};

// A value change made by Reader::apply_value(): the value before and after it (on
// errc::value_conflict, the value read back).
struct ValueChange {
    std::int32_t before = 0;
    std::int32_t after = 0;
};

// The data bytes of a variable-length reply (version, E2PROM, clock).
class ReplyData {
  public:
    static constexpr std::size_t capacity = TQRF_REPLY_DATA_MAX;

    const std::uint8_t* data() const noexcept { return bytes_.data(); }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    const std::uint8_t* begin() const noexcept { return bytes_.data(); }
    const std::uint8_t* end() const noexcept { return bytes_.data() + size_; }
    std::uint8_t operator[](std::size_t i) const noexcept { return bytes_[i]; }

    // Upper-case hex, two characters per byte.
    std::string hex() const {
        static constexpr char digits[] = "0123456789ABCDEF";
        std::string out;
        out.reserve(2 * size_);
        for (std::size_t i = 0; i < size_; ++i) {
            out += digits[bytes_[i] >> 4];
            out += digits[bytes_[i] & 0x0F];
        }
        return out;
    }

  private:
    friend class Reader;
    std::array<std::uint8_t, capacity> bytes_{};
    std::size_t size_ = 0;
};

// What a reader's last exchange heard back (Reader::last_answer()): it tells why a command
// failed with errc::reply_frame or reply_checksum.
enum class Answer : std::int32_t {
    None = TQRF_ANSWER_NONE,        // no exchange yet, or nothing was sent
    Frame = TQRF_ANSWER_FRAME,      // a reply frame
    Silence = TQRF_ANSWER_SILENCE,  // nothing: check the reader's power and the cable
    Echo = TQRF_ANSWER_ECHO,        // what was sent came back: a loopback plug or crossed lines
    Noise = TQRF_ANSWER_NOISE,      // bytes that are no frame: another device, a wrong rate
};

class Reader {
  public:
    // Opens a reader: "COMn" (Windows "\\.\COMn", POSIX /dev/ttyS(n-1)) or a device path
    // ("/dev/ttyUSB0", a pseudo-terminal, "\\.\COM12"), then applies the options. On
    // errc::port_open_failed, last_open_error() says why (missing, not permitted, busy, not a
    // serial device).
    static Result<Reader> open(const std::string& port, const ReaderOptions& options = {}) {
        tqrf_reader* handle = nullptr;
        const std::int32_t r = tqrf_reader_open(port.c_str(), &handle);
        if (r != 0) return result_code(r);
        Reader reader(handle);
        if (auto s = reader.set_reply_mode(options.reply_mode); !s) return s.error();
        if (auto s = reader.set_reply_slack(options.reply_slack); !s) return s.error();
        if (auto s = reader.set_attempts(options.attempts); !s) return s.error();
        return reader;
    }

    // Opens COM port `number` (Windows "\\.\COMn", POSIX /dev/ttyS(n-1)).
    static Result<Reader> open_com(unsigned number, const ReaderOptions& options = {}) {
        char name[16];
        std::snprintf(name, sizeof name, "COM%u", number);
        return open(name, options);
    }

    // The operating system's error of this thread's last failed open (system_category: errno
    // on POSIX, GetLastError() on Windows); a code that tests false when there is none.
    static std::error_code last_open_error() noexcept {
        return os_code(tqrf_reader_os_error(nullptr));
    }

    Reader() noexcept = default;  // not open: every call gives errc::bad_argument
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    Reader(Reader&& other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)), hooks_(std::move(other.hooks_)) {}
    Reader& operator=(Reader&& other) noexcept {
        if (this != &other) {
            (void)close();
            handle_ = std::exchange(other.handle_, nullptr);
            hooks_ = std::move(other.hooks_);
        }
        return *this;
    }
    ~Reader() { (void)close(); }

    bool is_open() const noexcept { return handle_ != nullptr; }
    // The C handle, for calls this class does not wrap. Owned by the Reader.
    tqrf_reader* native_handle() const noexcept { return handle_; }

    // Closes the reader now (no other thread may still be calling it); the destructor does
    // nothing afterwards.
    Status close() noexcept {
        if (handle_ == nullptr) return {};
        const std::int32_t r = tqrf_reader_close(std::exchange(handle_, nullptr));
        hooks_.reset();
        return status(r);
    }

    // The operating system's error of this reader's last failed system call (for
    // errc::device_lost, the one that showed the loss).
    std::error_code os_error() const noexcept {
        return handle_ == nullptr ? std::error_code{} : os_code(tqrf_reader_os_error(handle_));
    }

    // What the last exchange heard back (Answer::None when the Reader is not open).
    Answer last_answer() const noexcept {
        const std::int32_t a = tqrf_reader_last_answer(handle_);
        return a < 0 ? Answer::None : static_cast<Answer>(a);
    }

    // ---- Options

    // Changes the line rate until the next command (every command sets 19200 baud again).
    Status set_baud(std::uint32_t rate) { return status(tqrf_reader_set_baud(handle_, rate)); }

    Status set_reply_mode(ReplyMode mode) {
        return status(tqrf_reader_set_option(handle_, TQRF_OPTION_REPLY_MODE,
                                             static_cast<std::int32_t>(mode)));
    }
    Result<ReplyMode> reply_mode() const {
        std::int32_t v = 0;
        const std::int32_t r = tqrf_reader_get_option(handle_, TQRF_OPTION_REPLY_MODE, &v);
        if (r != 0) return result_code(r);
        return static_cast<ReplyMode>(v);
    }

    // 0 to 1000 ms; other values give errc::bad_argument.
    Status set_reply_slack(std::chrono::milliseconds slack) {
        if (slack.count() < 0 || slack.count() > 1000) return errc::bad_argument;
        return status(tqrf_reader_set_option(handle_, TQRF_OPTION_REPLY_SLACK_MS,
                                             static_cast<std::int32_t>(slack.count())));
    }
    Result<std::chrono::milliseconds> reply_slack() const {
        std::int32_t v = 0;
        const std::int32_t r = tqrf_reader_get_option(handle_, TQRF_OPTION_REPLY_SLACK_MS, &v);
        if (r != 0) return result_code(r);
        return std::chrono::milliseconds(v);
    }

    // Attempts in all (1 to 10) after a lost, late, garbled or wrong-length reply, where a
    // repeat is safe: reads and selections again, an authentication after selecting the card
    // again, a write only when reading back shows it not there. A reader status is never
    // repeated; halt, reset, beep, increment, decrement, restore and transfer never are
    // (apply_value() settles a value change). Each repeat shows as TraceEvent::Retry.
    Status set_attempts(int attempts) {
        return status(tqrf_reader_set_option(handle_, TQRF_OPTION_ATTEMPTS, attempts));
    }
    Result<int> attempts() const {
        std::int32_t v = 0;
        const std::int32_t r = tqrf_reader_get_option(handle_, TQRF_OPTION_ATTEMPTS, &v);
        if (r != 0) return result_code(r);
        return static_cast<int>(v);
    }

    // The reader's counters.
    Result<ReaderStats> stats() const {
        tqrf_reader_stats s{};
        s.size = sizeof s;
        const std::int32_t r = tqrf_reader_get_stats(handle_, &s);
        if (r != 0) return result_code(r);
        ReaderStats out;
        out.requests = s.requests;
        out.retries = s.retries;
        out.recoveries = s.recoveries;
        out.failures = s.failures;
        return out;
    }

    // Sets the trace callback (an empty function removes it). It sees every exchange from the
    // next call on, and every key that load_key() sends. May be called while other threads
    // use the Reader; of two calls at the same time, one wins.
    Status set_trace(TraceFunction fn) {
        if (handle_ == nullptr) return errc::bad_argument;
        TraceFunction* next = fn ? new TraceFunction(std::move(fn)) : nullptr;
        TraceFunction* old = hooks_->current.exchange(next);
        // The library switches under the reader's lock, which a running callback holds: once
        // the call returns, no callback can still be using `old`.
        const std::int32_t r = next != nullptr
                                   ? tqrf_reader_set_trace(handle_, &trampoline, hooks_.get())
                                   : tqrf_reader_set_trace(handle_, nullptr, nullptr);
        delete old;
        return status(r);
    }

    // ---- Card selection

    Result<CardType> request(RequestMode mode = RequestMode::Idle) {
        CardType type;
        return data<TQRF_COMMAND_REQUEST>(
            tqrf_reader_request(handle_, static_cast<std::int32_t>(mode), type.data()), type);
    }

    Result<Uid> anticoll(std::uint8_t arg = 0) {
        Uid uid;
        return data<TQRF_COMMAND_ANTICOLL>(tqrf_reader_anticoll(handle_, arg, uid.data()), uid);
    }

    Result<SizeByte> select(const Uid& uid) {
        SizeByte size = 0;
        return data<TQRF_COMMAND_SELECT>(tqrf_reader_select(handle_, uid.data(), &size), size);
    }

    Status halt() { return status<TQRF_COMMAND_HALT>(tqrf_reader_halt(handle_)); }

    // Request, anticollision and select in turn (three exchanges).
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
        CardInfo info;
        const std::int32_t r = tqrf_reader_find(handle_, static_cast<std::int32_t>(mode),
                                                info.type.data(), info.uid.data(), &info.size);
        return data<TQRF_COMMAND_FIND>(r, info);
    }

    // ---- Keys and authentication (sectors 0 to 15)

    Status load_key(KeyType type, int sector, const Key& key) {
        return status<TQRF_COMMAND_LOADKEY>(
            tqrf_reader_loadkey(handle_, static_cast<std::int32_t>(type), sector, key.data()));
    }

    Status authenticate(KeyType type, int sector) {
        return status<TQRF_COMMAND_AUTHENTICATE>(
            tqrf_reader_authenticate(handle_, static_cast<std::int32_t>(type), sector));
    }

    // Loads the key for the sector and authenticates with it.
    Status login(int sector, KeyType type, const Key& key) {
        if (auto r = load_key(type, sector, key); !r) return r;
        return authenticate(type, sector);
    }

    // ---- Blocks (0 to 63)

    Result<Block> read(int block) {
        Block out;
        return data<TQRF_COMMAND_READ>(tqrf_reader_read(handle_, block, out.data()), out);
    }

    Status write(int block, const Block& data) {
        return status<TQRF_COMMAND_WRITE>(tqrf_reader_write(handle_, block, data.data()));
    }

    // ---- Value blocks (the card does the arithmetic; values are signed 32-bit on the card)

    Status init_value(int block, std::int32_t value) {
        return status<TQRF_COMMAND_INITVAL>(
            tqrf_reader_initval(handle_, block, static_cast<std::uint32_t>(value)));
    }

    Result<std::int32_t> read_value(int block) {
        std::uint32_t v = 0;
        const std::int32_t r = tqrf_reader_readval(handle_, block, &v);
        if (r != 0) return refusal_code<TQRF_COMMAND_READVAL>(r);
        return static_cast<std::int32_t>(v);
    }

    // Increment, decrement and restore leave their result in the card's transfer buffer;
    // transfer() writes it into a block.
    Status increment(int block, std::uint32_t amount) {
        return status<TQRF_COMMAND_INCREMENT>(tqrf_reader_increment(handle_, block, amount));
    }
    Status decrement(int block, std::uint32_t amount) {
        return status<TQRF_COMMAND_DECREMENT>(tqrf_reader_decrement(handle_, block, amount));
    }
    Status restore(int block) {
        return status<TQRF_COMMAND_RESTORE>(tqrf_reader_restore(handle_, block));
    }
    Status transfer(int block) {
        return status<TQRF_COMMAND_TRANSFER>(tqrf_reader_transfer(handle_, block));
    }
    // Changes a value block by `delta` and writes it back into the same block, exactly once
    // (read, increment or decrement, transfer); a lost reply is settled by reading the value
    // back. errc::not_applied: not done after the last attempt (calling again is safe);
    // errc::value_conflict: the value read back is neither the value before nor the one
    // expected, both given in `*conflict` when it is not null; errc::reply_frame and the other
    // reply codes: a lost reply that could not be settled (not known whether done).
    Result<ValueChange> apply_value(int block, std::int32_t delta,
                                    ValueChange* conflict = nullptr) {
        std::uint32_t before = 0, after = 0;
        const std::int32_t r = tqrf_reader_value_apply(handle_, block, delta, &before, &after);
        ValueChange change;
        change.before = static_cast<std::int32_t>(before);
        change.after = static_cast<std::int32_t>(after);
        if (r == TQRF_ERR_VALUE_CONFLICT && conflict != nullptr) *conflict = change;
        if (r != 0) return result_code(r);
        return change;
    }
    // Adds (credit) or subtracts (debit) an amount, 0 to 2^31 - 1, with apply_value(): the new
    // balance.
    Result<std::int32_t> credit(int block, std::int32_t amount) {
        if (amount < 0) return errc::bad_argument;
        auto change = apply_value(block, amount);
        if (!change) return change.error();
        return change->after;
    }
    Result<std::int32_t> debit(int block, std::int32_t amount) {
        if (amount < 0) return errc::bad_argument;
        auto change = apply_value(block, -amount);
        if (!change) return change.error();
        return change->after;
    }

    // ---- Reader device

    Status reset() { return status<TQRF_COMMAND_RESET>(tqrf_reader_reset(handle_)); }

    // The reader's version text: its data bytes, without trailing NULs.
    Result<std::string> hardware_version() {
        ReplyData bytes;
        std::uint32_t length = 0;
        const std::int32_t r = tqrf_reader_hardware_version(handle_, bytes.bytes_.data(),
                                                            ReplyData::capacity, &length);
        if (r != 0) return refusal_code<TQRF_COMMAND_HARDWARE_VERSION>(r);
        while (length > 0 && bytes.bytes_[length - 1] == 0) --length;
        return std::string(reinterpret_cast<const char*>(bytes.data()), length);
    }

    Result<std::uint32_t> reader_id() {
        std::uint32_t id = 0;
        return data<TQRF_COMMAND_ID>(tqrf_reader_id(handle_, &id), id);
    }

    Status link_test() { return status<TQRF_COMMAND_LINK_TEST>(tqrf_reader_link_test(handle_)); }

    // The bytes the reader sends for an E2PROM read from `address` (0 to 255) on.
    Result<ReplyData> read_e2(int address) {
        ReplyData out;
        std::uint32_t length = 0;
        const std::int32_t r =
            tqrf_reader_e2_read(handle_, address, out.bytes_.data(), ReplyData::capacity, &length);
        if (r != 0) return refusal_code<TQRF_COMMAND_E2_READ>(r);
        out.size_ = length;
        return out;
    }

    // Writes 16 bytes to the E2PROM, addresses 0 to 127. The E2PROM holds the chip's
    // configuration: a wrong write can make the reader unusable.
    Status write_e2(int address, const Block& data) {
        return status<TQRF_COMMAND_E2_WRITE>(tqrf_reader_e2_write(handle_, address, data.data()));
    }

    // Sounds the beeper for duration_10ms * 10 ms (0 to 240). Mode 0 answers when the beep is
    // over; other modes are the reader's own and answer at once.
    Status beep(int duration_10ms, int mode = 0) {
        return status<TQRF_COMMAND_BEEP>(tqrf_reader_beep(handle_, mode, duration_10ms));
    }

    // The clock bytes as the reader sends them; their layout is the reader's.
    Result<ReplyData> read_clock() {
        ReplyData out;
        std::uint32_t length = 0;
        const std::int32_t r =
            tqrf_reader_clock_read(handle_, out.bytes_.data(), ReplyData::capacity, &length);
        if (r != 0) return refusal_code<TQRF_COMMAND_CLOCK_READ>(r);
        out.size_ = length;
        return out;
    }

    // Sets the clock to seven bytes in the reader's own layout.
    Status set_clock(const ClockBytes& clock) {
        return status<TQRF_COMMAND_CLOCK_SET>(tqrf_reader_clock_set(handle_, clock.data()));
    }

  private:
    // The trace callback, reached by the library through `user`. No std::mutex here: it is
    // not available with every Windows toolchain.
    struct Hooks {
        std::atomic<TraceFunction*> current{nullptr};
        Hooks() = default;
        Hooks(const Hooks&) = delete;
        Hooks& operator=(const Hooks&) = delete;
        ~Hooks() { delete current.load(); }
    };

    explicit Reader(tqrf_reader* handle) : handle_(handle), hooks_(std::make_unique<Hooks>()) {}

    static void TQRF_CALL trampoline(void* user, std::int32_t event, std::int32_t result,
                                     const std::uint8_t* bytes, std::uint32_t count,
                                     std::uint64_t time_us) {
        try {
            Trace t;
            t.event = static_cast<TraceEvent>(event);
            t.result = result;
            t.bytes = bytes;
            t.count = count;
            t.time = std::chrono::microseconds(static_cast<std::int64_t>(time_us));
            const TraceFunction* fn = static_cast<const Hooks*>(user)->current.load();
            if (fn != nullptr) (*fn)(t);
        } catch (...) {
            // Nothing may unwind through the library.
        }
    }

    static std::error_code os_code(std::int32_t e) noexcept {
        return e == 0 ? std::error_code{} : std::error_code{e, std::system_category()};
    }
    static Status status(std::int32_t r) noexcept { return Status(result_code(r)); }
    // The result of command `Command`: its refusals say what they mean.
    template <std::int32_t Command>
    static Status status(std::int32_t r) noexcept {
        return Status(refusal_code<Command>(r));
    }
    template <std::int32_t Command, class T>
    static Result<T> data(std::int32_t r, const T& value) {
        if (r != 0) return refusal_code<Command>(r);
        return value;
    }

    tqrf_reader* handle_ = nullptr;
    std::unique_ptr<Hooks> hooks_;
};

// ---- Finding the reader -----------------------------------------------------------------------
//
//   if (auto ports = tqrf::list_ports())
//       for (const auto& p : *ports)
//           if (auto found = tqrf::probe(p.device); found && found->outcome ==
//           tqrf::ProbeOutcome::Reader)
//               std::cout << p.device << ": reader " << found->reader_id << '\n';

enum class Transport : std::int32_t {
    Builtin = TQRF_TRANSPORT_BUILTIN,
    Usb = TQRF_TRANSPORT_USB,
    Bluetooth = TQRF_TRANSPORT_BLUETOOTH,
    Other = TQRF_TRANSPORT_OTHER,
};

// Whether the port's driver is known to carry mark and space parity (the reader needs it).
enum class MarkSpace : std::int32_t {
    No = TQRF_MARK_SPACE_NO,
    Yes = TQRF_MARK_SPACE_YES,
    Unknown = TQRF_MARK_SPACE_UNKNOWN,
};

// One serial port the system knows (see tqrf_list_ports2()). Strings are "" when not known.
struct PortInfo {
    std::string device;       // what to open: "/dev/ttyUSB0", "COM3"
    std::string stable_path;  // "/dev/serial/by-id/...", or ""
    std::string description;
    Transport transport = Transport::Other;
    std::int32_t usb_vendor_id = -1;  // -1 when not USB
    std::int32_t usb_product_id = -1;
    std::string serial_number;
    std::string manufacturer;
    std::string product;
    std::string driver;
    MarkSpace mark_space = MarkSpace::Unknown;
};

// The serial ports the system knows, in name order. Opens nothing, sends nothing. Uses the
// growable list (tqrf_list_ports2()): a later library with larger entries serves it unchanged.
inline Result<std::vector<PortInfo>> list_ports() {
    tqrf_port_info2* ports = nullptr;
    std::uint32_t count = 0;
    const std::int32_t r = tqrf_list_ports2(sizeof(tqrf_port_info2), &ports, &count);
    if (r != 0) return result_code(r);
    // The C list is freed whatever happens below.
    const std::unique_ptr<tqrf_port_info2, void (*)(tqrf_port_info2*)> owned(
        ports, [](tqrf_port_info2* p) { tqrf_free_ports2(p); });
    const auto text = [](const char* s) { return s != nullptr ? std::string(s) : std::string(); };
    std::vector<PortInfo> out;
    out.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const tqrf_port_info2& p = ports[i];
        PortInfo info;
        info.device = text(p.device);
        info.stable_path = text(p.stable_path);
        info.description = text(p.description);
        info.transport = static_cast<Transport>(p.transport);
        info.usb_vendor_id = p.usb_vendor_id;
        info.usb_product_id = p.usb_product_id;
        info.serial_number = text(p.serial_number);
        info.manufacturer = text(p.manufacturer);
        info.product = text(p.product);
        info.driver = text(p.driver);
        info.mark_space = static_cast<MarkSpace>(p.mark_space);
        out.push_back(std::move(info));
    }
    return out;
}

// The device a COM port name opens, as Reader::open() and probe() open it (see
// tqrf_com_port_path()): "/dev/ttyS2" for "COM3" on POSIX, "\\.\COM3" on Windows;
// errc::bad_argument for a name that is no COM name of a port (a device path, "COM0").
inline Result<std::string> com_port_path(const std::string& name) {
    char path[32];
    const std::int32_t r = tqrf_com_port_path(name.c_str(), path, sizeof path);
    if (r != 0) return result_code(r);
    return std::string(path);
}

// What answered on a port (see tqrf_probe2()).
enum class ProbeOutcome : std::int32_t {
    Reader = TQRF_PROBE_READER,
    Echo = TQRF_PROBE_ECHO,
    Noise = TQRF_PROBE_NOISE,
    Silent = TQRF_PROBE_SILENT,
    Missing = TQRF_PROBE_MISSING,
    NoPermission = TQRF_PROBE_NO_PERMISSION,
    Busy = TQRF_PROBE_BUSY,
    NotSerial = TQRF_PROBE_NOT_SERIAL,
    OpenFailed = TQRF_PROBE_OPEN_FAILED,
    NoMarkSpace = TQRF_PROBE_NO_MARK_SPACE,  // the adapter drops mark/space parity
};

// A short lower-case name of an outcome, for output that programs read: "reader", "echo",
// "noise", "silent", "missing", "no-permission", "busy", "not-serial", "open-failed",
// "no-mark-space".
inline std::string_view outcome_name(ProbeOutcome outcome) noexcept {
    // In the order of the TQRF_PROBE_* values, 0 to 9.
    constexpr std::string_view names[] = {"reader",      "echo",          "noise", "silent",
                                          "missing",     "no-permission", "busy",  "not-serial",
                                          "open-failed", "no-mark-space"};
    static_assert(std::size(names) == TQRF_PROBE_NO_MARK_SPACE + 1);
    const auto i = static_cast<std::uint32_t>(outcome);
    return i < std::size(names) ? names[i] : "open-failed";
}

struct ProbeResult {
    ProbeOutcome outcome = ProbeOutcome::OpenFailed;
    std::error_code os_error;                 // why the port did not open (system_category)
    std::chrono::microseconds round_trip{0};  // the link test's, when a reader answered
    std::vector<std::uint8_t> received;       // what came back for the link test
    std::vector<std::uint8_t> version;        // Reader only: the hardware version's bytes
    std::uint32_t reader_id = 0;              // Reader only: the identity number (0: not given)
};

// Opens `port` exclusively, sends one link test and says what answered (version and identity
// are asked only of a reader that answered). deadline: 40 to 1040 ms; zero for 100 ms.
inline Result<ProbeResult> probe(const std::string& port,
                                 std::chrono::milliseconds deadline = std::chrono::milliseconds{
                                     0}) {
    const auto ms = deadline.count() < 0        ? 0
                    : deadline.count() > 100000 ? 100000
                                                : deadline.count();
    tqrf_probe_result2 p{};
    p.size = sizeof p;
    const std::int32_t r = tqrf_probe2(port.c_str(), static_cast<std::uint32_t>(ms), &p);
    if (r != 0) return result_code(r);
    ProbeResult out;
    out.outcome = static_cast<ProbeOutcome>(p.outcome);
    if (p.os_error != 0) out.os_error = std::error_code{p.os_error, std::system_category()};
    out.round_trip = std::chrono::microseconds{p.round_trip_us};
    out.received.assign(p.bytes, p.bytes + std::min<std::size_t>(p.received, sizeof p.bytes));
    out.version.assign(p.version,
                       p.version + std::min<std::size_t>(p.version_length, sizeof p.version));
    out.reader_id = p.reader_id;
    return out;
}

}  // namespace tqrf

#endif  // TQ_RWD_DLL_HPP

// Helpers shared by the fuzz targets: a reader that takes values from the fuzz input (zeros
// once it runs out), exact-size heap buffers, and a check that stops the run with a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace tqrf::fuzz {

class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }
    std::size_t left() const { return size_ - pos_; }

    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    std::uint32_t u32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= std::uint32_t{byte()} << (8 * i);
        return v;
    }

    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }

    // Up to `count` bytes: fewer when the input runs out.
    std::vector<std::uint8_t> bytes(std::size_t count) {
        const std::size_t n = count < left() ? count : left();
        std::vector<std::uint8_t> v(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return v;
    }

    // Exactly `count` bytes: the input's, then zeros.
    void fill(std::uint8_t* out, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) out[i] = byte();
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// A caller's buffer of exactly `size` bytes on the heap: AddressSanitizer reports an access one
// byte past it. `snapshot` keeps its contents from before a call, to tell what the call wrote.
class Buffer {
  public:
    explicit Buffer(std::size_t size) : size_(size), bytes_(new std::uint8_t[size]) {}

    std::uint8_t* data() { return bytes_.get(); }
    char* text() { return reinterpret_cast<char*>(bytes_.get()); }
    std::size_t size() const { return size_; }
    std::uint8_t operator[](std::size_t i) const { return bytes_[i]; }

    void fill_from(Input& in) { in.fill(bytes_.get(), size_); }
    void take_snapshot() { before_.assign(bytes_.get(), bytes_.get() + size_); }
    const std::vector<std::uint8_t>& before() const { return before_; }
    bool untouched() const { return std::memcmp(before_.data(), bytes_.get(), size_) == 0; }

  private:
    std::size_t size_;
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::vector<std::uint8_t> before_;
};

[[noreturn]] inline void fail(const char* file, int line, const char* what) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::fflush(stderr);
    std::abort();
}

}  // namespace tqrf::fuzz

#define FUZZ_CHECK(cond) \
    ((cond) ? static_cast<void>(0) : ::tqrf::fuzz::fail(__FILE__, __LINE__, #cond))

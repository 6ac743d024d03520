// The Windows backend of the serial layer: kernel32's communications calls on an overlapped
// handle.
//
// Every transfer runs through buffers and an OVERLAPPED record owned by the device, never the
// caller's: if the driver does not finish an operation within its bound, the operation is
// cancelled, and even a driver that then still holds on to it can only ever touch memory that
// outlives the call. Such a device is marked stuck; it refuses further transfers and its slot
// is never reused.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "link/serial.h"

namespace tqrf::serial {

namespace {

// Transfers are made in pieces of at most this size. The driver queues hold 400 bytes; a
// request frame is at most 104 bytes and a reply is read in one piece of at most 105.
constexpr DWORD kTransferChunk = 512;

// Bounds of the waits for an overlapped operation. A write may take as long as its
// time-outs allow (50 ms per byte plus 200 ms); the margin covers the scheduler. A read only
// ever asks for bytes already queued, so it completes at once on a sound driver.
constexpr DWORD kWriteMsPerByte = 50;
constexpr DWORD kWriteMsConstant = 200;
constexpr DWORD kWaitMarginMs = 500;
constexpr DWORD kReadBoundMs = 200;
// How long a cancelled operation is given to come back.
constexpr DWORD kCancelBoundMs = 1000;

// The library opens one port at a time; a few slots leave room for a second open that must
// be refused by the system, and for a slot lost to a stuck operation.
constexpr int kDeviceSlots = 4;

}  // namespace

struct Device {
    bool in_use;
    bool stuck;  // an operation never came back: its buffers stay reserved for good
    HANDLE handle;
    HANDLE event;  // manual-reset, signalled when an overlapped operation completes
    OVERLAPPED overlapped;
    BYTE buffer[kTransferChunk];
};

namespace {

Device g_devices[kDeviceSlots];

// The one line-settings record every mode change goes through: read the port's current
// settings into it, apply the mode string, write it back.
DCB g_line_settings;

// Reads return at once with whatever is queued; writes are bounded at 50 ms per byte plus
// 200 ms.
COMMTIMEOUTS g_timeouts;

bool usable(const Device* device) {
    return device != nullptr && device->in_use && !device->stuck;
}

// Starts the overlapped operation's record afresh: zeroed, with the device's event.
void reset_overlapped(Device* device) {
    std::memset(&device->overlapped, 0, sizeof device->overlapped);
    device->overlapped.hEvent = device->event;
}

// Waits for the pending operation on `device`, at most `bound_ms`, then takes its byte
// count. An operation still running at the bound is cancelled and given a further bounded
// wait; if even that does not bring it back, the device is marked stuck and 0 is returned.
DWORD finish_pending(Device* device, DWORD bound_ms) {
    DWORD transferred = 0;
    if (WaitForSingleObject(device->event, bound_ms) == WAIT_OBJECT_0) {
        // Complete: this returns at once with the count.
        if (!GetOverlappedResult(device->handle, &device->overlapped, &transferred, TRUE)) {
            return 0;
        }
        return transferred;
    }
    CancelIo(device->handle);
    if (WaitForSingleObject(device->event, kCancelBoundMs) != WAIT_OBJECT_0) {
        device->stuck = true;
        return 0;
    }
    // A cancelled operation may still have moved some bytes; report those.
    transferred = 0;
    GetOverlappedResult(device->handle, &device->overlapped, &transferred, FALSE);
    return transferred;
}

// Clears the port's error state; gives the number of received bytes waiting (0 on failure).
DWORD clear_errors(Device* device) {
    DWORD errors = 0;
    COMSTAT status;
    std::memset(&status, 0, sizeof status);
    if (!ClearCommError(device->handle, &errors, &status)) return 0;
    return status.cbInQue;
}

// Writes one piece of at most kTransferChunk bytes; returns the count the driver reports.
DWORD write_piece(Device* device, const std::uint8_t* data, DWORD count) {
    std::memcpy(device->buffer, data, count);
    reset_overlapped(device);
    DWORD written = 0;
    if (WriteFile(device->handle, device->buffer, count, &written, &device->overlapped)) {
        return written;
    }
    if (GetLastError() != ERROR_IO_PENDING) return 0;
    return finish_pending(device, count * kWriteMsPerByte + kWriteMsConstant + kWaitMarginMs);
}

}  // namespace

bool device_path_for_port(int number, char* out, std::size_t capacity) {
    if (out == nullptr || capacity == 0) return false;
    const int length = std::snprintf(out, capacity, "\\\\.\\COM%d", number);
    return length > 0 && static_cast<std::size_t>(length) < capacity;
}

Device* open_device(const char* path) {
    if (path == nullptr) return nullptr;
    Device* device = nullptr;
    for (Device& slot : g_devices) {
        if (!slot.in_use) {
            device = &slot;
            break;
        }
    }
    if (device == nullptr) return nullptr;

    // No sharing: a second open of the same port fails while this one is open.
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        CloseHandle(handle);
        return nullptr;
    }
    device->in_use = true;
    device->stuck = false;
    device->handle = handle;
    device->event = event;
    reset_overlapped(device);
    return device;
}

void close_device(Device* device) {
    if (device == nullptr || !device->in_use) return;
    // Closing the handle cancels whatever the driver still holds.
    CloseHandle(device->handle);
    device->handle = INVALID_HANDLE_VALUE;
    if (device->stuck) return;  // the slot's buffers may still be written to: never reuse it
    CloseHandle(device->event);
    device->event = nullptr;
    device->in_use = false;
}

bool apply_mode(Device* device, const char* mode) {
    if (!usable(device) || mode == nullptr) return false;
    g_line_settings.DCBlength = sizeof g_line_settings;
    if (!GetCommState(device->handle, &g_line_settings)) return false;
    if (!BuildCommDCBA(mode, &g_line_settings)) return false;
    return SetCommState(device->handle, &g_line_settings) != FALSE;
}

bool set_queue_sizes(Device* device, std::uint32_t input_bytes, std::uint32_t output_bytes) {
    if (!usable(device)) return false;
    return SetupComm(device->handle, input_bytes, output_bytes) != FALSE;
}

bool set_timeouts(Device* device) {
    if (!usable(device)) return false;
    g_timeouts.ReadIntervalTimeout = MAXDWORD;
    g_timeouts.ReadTotalTimeoutMultiplier = 0;
    g_timeouts.ReadTotalTimeoutConstant = 0;
    g_timeouts.WriteTotalTimeoutMultiplier = kWriteMsPerByte;
    g_timeouts.WriteTotalTimeoutConstant = kWriteMsConstant;
    return SetCommTimeouts(device->handle, &g_timeouts) != FALSE;
}

void purge_input(Device* device) {
    if (!usable(device)) return;
    PurgeComm(device->handle, PURGE_RXCLEAR);
}

void purge_output(Device* device) {
    if (!usable(device)) return;
    PurgeComm(device->handle, PURGE_TXCLEAR);
}

std::uint32_t write_bytes(Device* device, const std::uint8_t* data, std::uint32_t count) {
    if (!usable(device) || data == nullptr || count == 0) return 0;
    clear_errors(device);
    std::uint32_t total = 0;
    while (total < count) {
        const DWORD piece = count - total < kTransferChunk ? count - total : kTransferChunk;
        const DWORD written = write_piece(device, data + total, piece);
        total += written;
        if (written != piece || device->stuck) break;
    }
    return total;
}

std::uint32_t bytes_waiting(Device* device) {
    if (!usable(device)) return 0;
    return clear_errors(device);
}

std::uint32_t read_waiting(Device* device, std::uint8_t* buffer, std::uint32_t max) {
    if (!usable(device) || buffer == nullptr || max == 0) return 0;
    // Only bytes already queued are asked for: an overlapped read of an empty queue is not
    // certain to return at once on every driver.
    const DWORD queued = clear_errors(device);
    if (queued == 0) return 0;
    DWORD wanted = max < queued ? max : queued;
    if (wanted > kTransferChunk) wanted = kTransferChunk;

    reset_overlapped(device);
    DWORD taken = 0;
    if (!ReadFile(device->handle, device->buffer, wanted, &taken, &device->overlapped)) {
        taken = GetLastError() == ERROR_IO_PENDING ? finish_pending(device, kReadBoundMs) : 0;
    }
    if (taken > wanted) taken = wanted;
    std::memcpy(buffer, device->buffer, taken);
    return taken;
}

void pause_ms(std::uint32_t ms) {
    // The wait on the thread's own handle always runs into its time-out. A wait may end a
    // little before its time on a coarse system timer, so the rest is waited out against the
    // performance counter: the pause is never shorter than asked.
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0 ||
        !QueryPerformanceCounter(&start)) {
        WaitForSingleObject(GetCurrentThread(), ms);
        return;
    }
    const LONGLONG wanted_ticks = static_cast<LONGLONG>(ms) * frequency.QuadPart / 1000;
    DWORD wait = ms;
    // Bounded: each round waits at least 1 ms, and at most ms + 1 rounds are needed.
    for (std::uint32_t round = 0; round <= ms + 1; ++round) {
        WaitForSingleObject(GetCurrentThread(), wait);
        LARGE_INTEGER now;
        if (!QueryPerformanceCounter(&now)) return;
        const LONGLONG left = wanted_ticks - (now.QuadPart - start.QuadPart);
        if (left <= 0) return;
        const LONGLONG left_ms = (left * 1000 + frequency.QuadPart - 1) / frequency.QuadPart;
        wait = static_cast<DWORD>(left_ms < 1 ? 1 : left_ms);
    }
}

}  // namespace tqrf::serial

// The locks of os/serial.h on the C++ standard library's mutex: the POSIX backend's, and the
// recording double's in the tests. It touches no port, so it is no backend of its own; the
// Windows backend keeps slim reader/writer locks in serial_win32.cpp.
#include <mutex>
#include <new>

#include "os/serial.h"

namespace tqrf::serial {

struct Lock {
    std::mutex mutex;
};

Lock* make_lock() {
    return new (std::nothrow) Lock;
}

Lock* default_reader_lock() {
    static Lock lock;  // std::mutex has a constant initialiser
    return &lock;
}

void free_lock(Lock* lock) {
    delete lock;
}

void acquire(Lock* lock) {
    lock->mutex.lock();
}

void release(Lock* lock) {
    lock->mutex.unlock();
}

}  // namespace tqrf::serial

// The stand-in's mutex: std::mutex, except where the C++ library has none
// (MinGW-w64's win32 thread model, the Windows DLL of the Windows Python
// leg), where a slim reader/writer lock of Windows' own serves instead, and
// on systems with fork(), where it is also safe across a fork (mutex.cpp).
#ifndef WINSTUB_MUTEX_H
#define WINSTUB_MUTEX_H

#include <mutex>

#if defined(_WIN32) && !defined(_GLIBCXX_HAS_GTHREADS)
// Declared here rather than through <windows.h>, whose types clash with the
// stand-in's own declarations of the same names.
extern "C" {
__declspec(dllimport) void __stdcall AcquireSRWLockExclusive(void **lock);
__declspec(dllimport) void __stdcall ReleaseSRWLockExclusive(void **lock);
}

namespace winstub {

class Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex &) = delete;
    Mutex &operator=(const Mutex &) = delete;
    void lock() { AcquireSRWLockExclusive(&lock_); }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }

private:
    void *lock_ = nullptr;  // SRWLOCK_INIT
};

}  // namespace winstub
#elif defined(_WIN32)
namespace winstub {
using Mutex = std::mutex;
}  // namespace winstub
#else
#include <pthread.h>

#include <atomic>

namespace winstub {

// std::mutex that fork() never leaves taken in the child. Another thread of
// the parent that held it at the fork does not exist in the child, which
// would wait for it for ever at its first call; so every live one is taken
// before a fork (those that the forking thread holds excepted) and let go on
// both sides after it.
class Mutex {
public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex &) = delete;
    Mutex &operator=(const Mutex &) = delete;
    void lock();
    void unlock();
    bool try_lock();
    bool HeldByThisThread() const;

private:
    friend class ForkGate;
    std::mutex mutex_;
    std::atomic<bool> held_{false};
    pthread_t owner_{};  // valid while held_
};

}  // namespace winstub
#endif

#endif  // WINSTUB_MUTEX_H

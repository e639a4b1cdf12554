// The stand-in's mutex: std::mutex, except where the C++ library has none
// (MinGW-w64's win32 thread model, the Windows DLL of the Windows Python
// leg), where a slim reader/writer lock of Windows' own serves instead.
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
#else
namespace winstub {
using Mutex = std::mutex;
}  // namespace winstub
#endif

#endif  // WINSTUB_MUTEX_H

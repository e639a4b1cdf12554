#include "mutex.h"

#if !defined(_WIN32)
#include <time.h>

#include <vector>

namespace winstub {

// Every live Mutex, and the fork() handlers that take them all.
class ForkGate {
public:
    static void Add(Mutex *mutex) {
        std::lock_guard<std::mutex> lock(Lock());
        Live().push_back(mutex);
    }
    static void Remove(Mutex *mutex) {
        std::lock_guard<std::mutex> lock(Lock());
        std::vector<Mutex *> &live = Live();
        for (size_t i = 0; i < live.size(); ++i) {
            if (live[i] == mutex) {
                live[i] = live.back();
                live.pop_back();
                break;
            }
        }
    }
    static void Install() {
        static const int installed = pthread_atfork(TakeAll, ReleaseAll, ReleaseAll);
        (void)installed;
    }

private:
    // Never destroyed: a Mutex of a static object may outlive them.
    static std::mutex &Lock() {
        static std::mutex *lock = new std::mutex;
        return *lock;
    }
    static std::vector<Mutex *> &Live() {
        static std::vector<Mutex *> *live = new std::vector<Mutex *>;
        return *live;
    }
    static std::vector<Mutex *> &Taken() {
        static std::vector<Mutex *> *taken = new std::vector<Mutex *>;
        return *taken;
    }

    // A thread may hold one Mutex while it makes or destroys another (and so
    // waits for Lock()): rather than wait for a Mutex with Lock() held, let
    // go of everything and try again.
    static void TakeAll() {
        for (;;) {
            Lock().lock();
            std::vector<Mutex *> &taken = Taken();
            taken.reserve(Live().size());
            bool all = true;
            for (Mutex *mutex : Live()) {
                if (mutex->HeldByThisThread()) {
                    continue;
                }
                if (!mutex->mutex_.try_lock()) {
                    all = false;
                    break;
                }
                taken.push_back(mutex);
            }
            if (all) {
                return;  // Lock() stays taken until after the fork
            }
            for (Mutex *mutex : taken) {
                mutex->mutex_.unlock();
            }
            taken.clear();
            Lock().unlock();
            const timespec pause{0, 50 * 1000};
            nanosleep(&pause, nullptr);
        }
    }
    // In the parent and in the child: no allocation.
    static void ReleaseAll() {
        for (Mutex *mutex : Taken()) {
            mutex->mutex_.unlock();
        }
        Taken().clear();
        Lock().unlock();
    }
};

Mutex::Mutex() {
    ForkGate::Install();
    ForkGate::Add(this);
}

Mutex::~Mutex() {
    ForkGate::Remove(this);
}

void Mutex::lock() {
    mutex_.lock();
    owner_ = pthread_self();
    held_ = true;
}

bool Mutex::try_lock() {
    if (!mutex_.try_lock()) {
        return false;
    }
    owner_ = pthread_self();
    held_ = true;
    return true;
}

void Mutex::unlock() {
    held_ = false;
    mutex_.unlock();
}

bool Mutex::HeldByThisThread() const {
    // Only this thread sets held_ and owner_ while it holds the mutex, so a
    // true answer cannot change under it.
    return held_ && pthread_equal(owner_, pthread_self());
}

}  // namespace winstub
#endif

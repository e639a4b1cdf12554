// How the library starts its helper (linux_slow_queries.h): the program
// beside the library, detached from the application's process tree, or for
// tests a fork of this process.
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

#include "linux_slow_queries.h"

#ifndef CLOSE_RANGE_UNSHARE
#define CLOSE_RANGE_UNSHARE (1U << 1)
#endif

extern char **environ;

namespace winstub::this_machine {

namespace {

// The helper program lies beside the library. Found at load time, while a
// relative name of the library still means what it meant to the loader.
std::string HelperProgramBesideLibrary() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&ServeQuestions), &info) == 0 || !info.dli_fname || !*info.dli_fname) {
        return std::string();
    }
    std::string library = info.dli_fname;
    if (library[0] != '/') {
        char directory[PATH_MAX];
        if (!getcwd(directory, sizeof directory)) {
            return std::string();
        }
        library = std::string(directory) + "/" + library;
    }
    return library.substr(0, library.rfind('/') + 1) + "winstub-queries";
}

const std::string kHelperProgram = HelperProgramBesideLibrary();

// What the two short-lived processes that start the helper share with the
// caller's memory (CLONE_VM): they only make system calls.
struct Launch {
    const char *program = nullptr;
    char *argv[3] = {};
    char **environment = nullptr;
    char *helper_stack = nullptr;
    volatile int error = 0;
    volatile pid_t helper = 0;
};

// The helper, until it executes the program: in a session of its own (no
// terminal's or process group's signals). It shares the caller's descriptor
// table until it takes one of its own. The kernel copies the lowest 64
// numbers into any new table, whatever is asked, and closing a copy of a
// FUSE file system's file waits for its daemon to flush it: so nothing is
// closed here, where the caller still waits. The copies lose close-on-exec,
// so that exec closes none, and the program lets go of them. Numbers above
// those are never copied (before Linux 5.9, everything is).
__attribute__((no_sanitize_address)) int ExecuteHelper(void *argument) {
    Launch *launch = static_cast<Launch *>(argument);
    constexpr unsigned kCopied = 64;
    if (syscall(SYS_close_range, kCopied, ~0U, CLOSE_RANGE_UNSHARE) != 0) {
        syscall(SYS_unshare, CLONE_FILES);
    }
    // 0, 1 and 2 go (the program puts /dev/null there): the loader's own
    // complaints, should it fail, are not the application's output.
    for (unsigned fd = 0; fd < 3; ++fd) {
        syscall(SYS_close, fd);
    }
    for (unsigned fd = 3; fd < kCopied; ++fd) {
        syscall(SYS_fcntl, fd, F_SETFD, 0);
    }
    syscall(SYS_setsid);
    syscall(SYS_execve, launch->program, launch->argv, launch->environment);
    launch->error = errno != 0 ? errno : ENOEXEC;
    syscall(SYS_exit_group, 127);
    return 127;
}

// The intermediate: created without an exit signal (a "clone" child, which
// no wait without __WCLONE sees), it starts the helper and leaves, so that
// the helper's parent is the system's reaper. Shares the caller's descriptor
// table, so that its exit closes nothing.
__attribute__((no_sanitize_address)) int DetachHelper(void *argument) {
    Launch *launch = static_cast<Launch *>(argument);
    const int helper =
        clone(ExecuteHelper, launch->helper_stack, CLONE_VM | CLONE_VFORK | CLONE_FILES | SIGCHLD, launch);
    if (helper < 0) {
        launch->error = errno;
    } else if (launch->error != 0) {
        syscall(SYS_wait4, helper, nullptr, 0, nullptr);  // its exec failed: it has ended
    } else {
        launch->helper = helper;
    }
    syscall(SYS_exit_group, 0);
    return 0;
}

// Starts the helper program, to connect to `name`, without copying the
// caller's memory: the caller's thread waits only until the program runs.
// Whether this process's next child would be the first of a pid namespace
// (after unshare(CLONE_NEWPID)), its init, which must be the application's:
// the kernel names no namespace for children until that process exists.
bool NextChildIsAnInit() {
    struct stat link {}, target {};
    return lstat("/proc/thread-self/ns/pid_for_children", &link) == 0 &&
           stat("/proc/thread-self/ns/pid_for_children", &target) != 0 && errno == ENOENT;
}

int StartProgram(const std::string &name, pid_t &helper) {
    if (kHelperProgram.empty()) {
        return ENOENT;
    }
    if (NextChildIsAnInit()) {
        return EPERM;
    }
    constexpr size_t kStack = 64 * 1024;
    void *stacks = mmap(nullptr, 2 * kStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stacks == MAP_FAILED) {
        return errno;
    }
    Launch launch;
    launch.program = kHelperProgram.c_str();
    launch.argv[0] = const_cast<char *>(launch.program);
    launch.argv[1] = const_cast<char *>(name.c_str());
    launch.environment = environ;
    launch.helper_stack = static_cast<char *>(stacks) + kStack;
    // The children run in this memory: no signal handler of the application
    // may run in them.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    const int intermediate =
        clone(DetachHelper, static_cast<char *>(stacks) + 2 * kStack, CLONE_VM | CLONE_VFORK | CLONE_FILES, &launch);
    int error = intermediate < 0 ? errno : 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (intermediate > 0) {
        // It has let go of this thread on its way out: collected at once.
        while (waitpid(intermediate, nullptr, __WCLONE) < 0 && errno == EINTR) {
        }
        error = launch.error;
        helper = launch.helper;
    }
    munmap(stacks, 2 * kStack);
    return error;
}


// For tests: the helper loop in a fork of this (small) process, detached the
// same way, by a parent that leaves at once after it has told its child's pid.
int StartForked(const std::string &name, const RootedQuery &query, pid_t &helper) {
    int told[2];
    if (pipe2(told, O_CLOEXEC) != 0) {
        return errno;
    }
    FileDescriptor reading(told[0]), writing(told[1]);
    const pid_t first = fork();
    if (first < 0) {
        return errno;
    }
    if (first == 0) {
        const pid_t second = fork();
        if (second == 0) {
            setsid();
            ServeQuestions(name, query);
            _exit(0);
        }
        [[maybe_unused]] const ssize_t sent = write(writing.get(), &second, sizeof second);
        _exit(0);
    }
    writing = FileDescriptor();
    while (waitpid(first, nullptr, 0) < 0 && errno == EINTR) {
    }
    return read(reading.get(), &helper, sizeof helper) == sizeof helper && helper > 0 ? 0 : EIO;
}

}  // namespace

void HelperStart::Tell(pid_t pid, int error) {
    std::lock_guard<std::mutex> lock(mutex_);
    pid_ = pid;
    error_ = error;
    done_ = true;
    told_.notify_all();
}

bool HelperStart::WaitUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    return told_.wait_until(lock, deadline, [this] { return done_; });
}

std::shared_ptr<HelperStart> StartHelper(const std::string &name, const RootedQuery &forked_query) {
    auto start = std::make_shared<HelperStart>();
    if (forked_query) {
        pid_t pid = 0;
        const int error = StartForked(name, forked_query, pid);
        start->Tell(pid, error);
        return start;
    }
    auto run = [start, name] {
        pid_t pid = 0;
        const int error = StartProgram(name, pid);
        start->Tell(pid, error);
    };
    try {
        std::thread(run).detach();
    } catch (const std::system_error &) {
        run();
    }
    return start;
}

}  // namespace winstub::this_machine

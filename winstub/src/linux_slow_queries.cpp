#include "linux_slow_queries.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

extern char **environ;

namespace winstub::this_machine {

struct SlowQueries::Pending {
    std::chrono::steady_clock::time_point deadline;
    bool done = false;
    FileSystemAnswer answer;
    std::chrono::steady_clock::time_point answered_at;
};

namespace {

using Clock = std::chrono::steady_clock;

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
    char socket_text[16] = {};
    char *argv[3] = {};
    char **environment = nullptr;
    int socket = -1;
    char *helper_stack = nullptr;
    volatile int error = 0;
};

// The helper, until it executes the program: in a session of its own (no
// terminal's or process group's signals), holding the socket across exec.
// The descriptor table is its own copy; exec closes what is close-on-exec
// only after the caller has been let go, and the program lets go of the rest.
__attribute__((no_sanitize_address)) int ExecuteHelper(void *argument) {
    Launch *launch = static_cast<Launch *>(argument);
    syscall(SYS_setsid);
    if (syscall(SYS_fcntl, launch->socket, F_SETFD, 0) == 0) {
        syscall(SYS_execve, launch->program, launch->argv, launch->environment);
    }
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
    const int helper = clone(ExecuteHelper, launch->helper_stack, CLONE_VM | CLONE_VFORK | SIGCHLD, launch);
    if (helper < 0) {
        launch->error = errno;
    } else if (launch->error != 0) {
        syscall(SYS_wait4, helper, nullptr, 0, nullptr);  // its exec failed: it has ended
    }
    syscall(SYS_exit_group, 0);
    return 0;
}

// Starts the helper program on `socket` without copying the caller's memory:
// the caller's thread waits only until the program runs.
int StartProgram(int socket) {
    if (kHelperProgram.empty()) {
        return ENOENT;
    }
    constexpr size_t kStack = 64 * 1024;
    void *stacks = mmap(nullptr, 2 * kStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stacks == MAP_FAILED) {
        return errno;
    }
    Launch launch;
    launch.program = kHelperProgram.c_str();
    std::snprintf(launch.socket_text, sizeof launch.socket_text, "%d", socket);
    launch.argv[0] = const_cast<char *>(launch.program);
    launch.argv[1] = launch.socket_text;
    launch.environment = environ;
    launch.socket = socket;
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
    }
    munmap(stacks, 2 * kStack);
    return error;
}

// For tests: the helper loop in a fork of this (small) process, detached the
// same way, by a parent that leaves at once.
int StartForked(int socket, const PathQuery &query) {
    const pid_t first = fork();
    if (first < 0) {
        return errno;
    }
    if (first == 0) {
        if (fork() == 0) {
            setsid();
            ReleaseInherited(socket);
            ServeQuestions(socket, query);
        }
        _exit(0);
    }
    while (waitpid(first, nullptr, 0) < 0 && errno == EINTR) {
    }
    return 0;
}

int MillisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count() + 1;
    return static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX));
}

}  // namespace

std::optional<std::string> AbsolutePath(const std::string &path) {
    if (!path.empty() && path[0] == '/') {
        return path;
    }
    char directory[PATH_MAX];
    if (!getcwd(directory, sizeof directory)) {
        return std::nullopt;
    }
    return std::string(directory) + "/" + path;
}

std::optional<dev_t> FileSystemOfPathText(const std::vector<Mount> &mounts, const std::string &absolute) {
    const Mount *holder = MountAtPathText(mounts, absolute);
    return holder ? std::optional<dev_t>(holder->device) : std::nullopt;
}

SlowQueries::SlowQueries(std::chrono::milliseconds timeout, PathQuery forked_query)
    : timeout_(timeout), forked_query_(std::move(forked_query)) {}

SlowQueries::~SlowQueries() {
    // The helper ends when its socket closes; a thread of it that waits on a
    // file system that does not answer ends when that answers.
    std::lock_guard<Mutex> lock(mutex_);
    if (Connected()) {
        close(socket_);
    }
}

bool SlowQueries::Connected() {
    if (socket_ < 0) {
        return false;
    }
    // Still the socket that this process opened: not a parent's (after
    // fork), and not a number the application has closed and reused.
    struct stat status {};
    const bool same = fstat(socket_, &status) == 0 && status.st_dev == socket_device_ && status.st_ino == socket_inode_;
    if (same && owner_ == getpid()) {
        return true;
    }
    if (same) {
        close(socket_);  // a forked child's copy of the parent's
    }
    socket_ = -1;
    reading_ = false;
    sent_.clear();
    questions_.clear();
    return false;
}

int SlowQueries::Connect() {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        return errno;
    }
    const int error = forked_query_ ? StartForked(ends[1], forked_query_) : StartProgram(ends[1]);
    close(ends[1]);
    struct stat status {};
    if (error != 0 || fstat(ends[0], &status) != 0) {
        close(ends[0]);
        return error != 0 ? error : EIO;
    }
    socket_ = ends[0];
    owner_ = getpid();
    socket_device_ = status.st_dev;
    socket_inode_ = status.st_ino;
    return 0;
}

void SlowQueries::Disconnect(int error) {
    close(socket_);
    socket_ = -1;
    // Such a failure is the helper's, not the file system's: not kept.
    for (auto question = questions_.begin(); question != questions_.end();) {
        const bool unanswered = std::any_of(sent_.begin(), sent_.end(),
                                            [&question](const auto &sent) { return sent.second == question->second; });
        question = unanswered ? questions_.erase(question) : std::next(question);
    }
    for (auto &[id, pending] : sent_) {
        pending->done = true;
        pending->answer = FileSystemAnswer();
        pending->answer.error = error;
        pending->answered_at = Clock::now();
    }
    sent_.clear();
    answered_.notify_all();
}

void SlowQueries::ReadAnswers() {
    for (;;) {
        AnswerMessage message;
        const ssize_t count = recv(socket_, &message, sizeof message, MSG_DONTWAIT);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        if (count != static_cast<ssize_t>(sizeof message)) {
            Disconnect(EIO);  // the helper has gone
            return;
        }
        if (auto sent = sent_.find(message.id); sent != sent_.end()) {
            sent->second->done = true;
            sent->second->answer = message.answer;
            sent->second->answered_at = Clock::now();
            sent_.erase(sent);
        }
    }
    answered_.notify_all();
}

bool SlowQueries::FileSystemPastDeadline(dev_t device) const {
    const Clock::time_point now = Clock::now();
    return std::any_of(questions_.begin(), questions_.end(), [device, now](const auto &question) {
        return std::get<1>(question.first) == device && !question.second->done && question.second->deadline <= now;
    });
}

bool SlowQueries::SendNow(uint64_t id, const Question &question, Clock::time_point deadline) {
    if (question.path.size() > PATH_MAX) {
        errno = ENAMETOOLONG;
        return false;
    }
    RequestHeader request;
    request.id = id;
    request.kind = static_cast<uint32_t>(question.kind);
    if (question.kind == Question::Kind::kLoopDevice) {
        request.reserved = static_cast<uint32_t>(question.device);  // fits: the kernel's numbers have 32 bits
    }
    std::string bytes(reinterpret_cast<const char *>(&request), sizeof request);
    bytes += question.path;
    iovec part{bytes.data(), bytes.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    if (question.fd >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr *header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &question.fd, sizeof(int));
    }
    for (;;) {
        if (sendmsg(socket_, &message, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) {
            return true;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
        pollfd watch{socket_, POLLOUT, 0};
        if (poll(&watch, 1, MillisecondsUntil(deadline)) <= 0) {
            errno = ETIMEDOUT;
            return false;
        }
    }
}

std::shared_ptr<SlowQueries::Pending> SlowQueries::Send(const Question &question, const Key &key) {
    auto pending = std::make_shared<Pending>();
    pending->deadline = Clock::now() + timeout_;
    auto fail = [&pending](int error) {
        pending->done = true;
        pending->answer.error = error;
        pending->answered_at = Clock::now();
        return pending;
    };
    // No helper (the program missing, or a 32-bit one under an emulator that
    // cannot start it): the question cannot be asked, and is not kept.
    if (!Connected() && Connect() != 0) {
        return fail(EIO);
    }
    const uint64_t id = next_id_++;
    bool sent = SendNow(id, question, pending->deadline);
    if (!sent && (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) && !reading_) {
        // The helper has died since the last question: a new one.
        Disconnect(EIO);
        if (Connect() != 0) {
            return fail(EIO);
        }
        sent = SendNow(id, question, pending->deadline);
    }
    if (!sent) {
        return fail(errno == EPIPE || errno == ECONNRESET ? EIO : errno);
    }
    // Answers that serve no more go, so that questions of ever new paths
    // leave nothing behind.
    const Clock::time_point now = Clock::now();
    for (auto question = questions_.begin(); question != questions_.end();) {
        const bool spent = question->second->done && now - question->second->answered_at >= kAnswerKept;
        question = spent ? questions_.erase(question) : std::next(question);
    }
    sent_[id] = pending;
    questions_[key] = pending;
    return pending;
}

SlowQueries::Key SlowQueries::KeyOf(const Question &question) {
    return Key{question.kind, question.device,
               question.kind == Question::Kind::kAtPath ? question.path : std::string()};
}

std::shared_ptr<SlowQueries::Pending> SlowQueries::Known(const Key &key) {
    auto found = questions_.find(key);
    if (found == questions_.end()) {
        return nullptr;
    }
    if (found->second->done && Clock::now() - found->second->answered_at >= kAnswerKept) {
        questions_.erase(found);
        return nullptr;
    }
    return found->second;
}

void SlowQueries::AskAhead(const std::vector<Question> &questions) {
    std::lock_guard<Mutex> lock(mutex_);
    if (Connected() && !reading_) {
        ReadAnswers();
    }
    for (const Question &question : questions) {
        const Key key = KeyOf(question);
        if (!Known(key) && !FileSystemPastDeadline(question.device)) {
            Send(question, key);
        }
    }
}

std::optional<FileSystemAnswer> SlowQueries::Ask(const Question &question) {
    const Key key = KeyOf(question);
    std::unique_lock<Mutex> lock(mutex_);
    if (Connected() && !reading_) {
        ReadAnswers();
    }
    std::shared_ptr<Pending> pending = Known(key);
    if (!pending) {
        if (FileSystemPastDeadline(question.device)) {
            return std::nullopt;
        }
        pending = Send(question, key);
    }
    // Waiters take turns at polling the socket; the one that reads hands
    // every answer to its waiter.
    for (;;) {
        if (pending->done) {
            return pending->answer;
        }
        if (Clock::now() >= pending->deadline) {
            return std::nullopt;
        }
        if (!reading_ && socket_ >= 0) {
            reading_ = true;
            pollfd watch{socket_, POLLIN, 0};
            lock.unlock();
            poll(&watch, 1, MillisecondsUntil(pending->deadline));
            lock.lock();
            reading_ = false;
            if (Connected()) {
                ReadAnswers();
            } else {
                answered_.notify_all();  // another waiter takes over, or fails at its deadline
            }
        } else {
            answered_.wait_until(lock, pending->deadline);
        }
    }
}

}  // namespace winstub::this_machine

#include "linux_slow_queries.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>

namespace winstub::this_machine {

namespace {

using Clock = std::chrono::steady_clock;

struct Pending {
    Clock::time_point deadline;
    bool done = false;
    FileSystemAnswer answer;
    Clock::time_point answered_at;
};

int MillisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count() + 1;
    return static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX));
}

// The asking thread's root directory, and which one it is: questions asked
// under different roots (after chroot, in another mount namespace) share no
// answer.
struct Root {
    FileDescriptor fd;
    std::tuple<uint64_t, uint64_t, uint64_t> identity{};
};

Root RootOfCaller() {
    Root root;
    // "/" itself is not looked up in any file system, nor asked for fresh
    // attributes (the root may be a FUSE file system's).
    root.fd = FileDescriptor(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct statx status {};
    if (root.fd.get() >= 0 && statx(root.fd.get(), "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC,
                                    STATX_INO | STATX_MNT_ID, &status) == 0) {
        root.identity = std::make_tuple(uint64_t{makedev(status.stx_dev_major, status.stx_dev_minor)},
                                        uint64_t{status.stx_ino},
                                        uint64_t{(status.stx_mask & STATX_MNT_ID) ? status.stx_mnt_id : 0});
    }
    return root;
}

}  // namespace

// One process's connection to its helper, and its questions.
class SlowQueries::State {
public:
    State(std::chrono::milliseconds timeout, const RootedQuery &forked_query, uint64_t forks)
        : forks_(forks), timeout_(timeout), forked_query_(forked_query) {}
    ~State() {
        if (Connected()) {
            Disconnect(EIO);  // the helper ends with its connection
        }
    }

    const uint64_t forks_;  // ForkCount() of the process it belongs to

    // In a forked child, of the parent's state that the fork copied: the
    // child's copy of the connection is closed, so that the helper sees the
    // parent's end close with the parent. Nothing is locked or waited on.
    void LetGoInChild() {
        const int socket = socket_copy_.load(std::memory_order_relaxed);
        if (socket >= 0 && StillTheFile(socket, socket_identity_)) {
            close(socket);  // the fork handler could not (no slot was free)
        }
    }

    std::optional<FileSystemAnswer> Ask(const Question &question, uint64_t table_changes);
    void AskAhead(const std::vector<Question> &questions, uint64_t table_changes);

private:
    // The last: the mount table's count of changes when it was asked, so that
    // a question asked before a change serves none after it.
    using Key = std::tuple<Question::Kind, dev_t, std::string, std::tuple<uint64_t, uint64_t, uint64_t>, uint64_t>;

    bool Connected();
    int Connect();
    void Disconnect(int error);
    void ReadAnswers();
    std::shared_ptr<Pending> Send(const Question &question, const Key &key, int root);
    bool SendNow(uint64_t id, const Question &question, int root);
    bool FileSystemPastDeadline(dev_t device) const;
    // The question's pending or recent answer (only a pending one unless
    // `keep`), if any; a spent one is dropped.
    std::shared_ptr<Pending> Known(const Key &key, bool keep);
    void Refresh(uint64_t table_changes);

    const std::chrono::milliseconds timeout_;
    const RootedQuery &forked_query_;

    // Never held across a wait on a file system; not taken by the locks' fork
    // gate, since a child never uses its parent's state.
    std::mutex mutex_;
    std::condition_variable answered_;
    int socket_ = -1;
    std::atomic<int> socket_copy_{-1};  // socket_, for LetGoInChild
    FileIdentity socket_identity_;
    bool reading_ = false;  // a waiter polls the socket without the mutex
    uint64_t next_id_ = 1;
    uint64_t table_changes_ = 0;
    Clock::time_point start_failed_at_{};  // the last start of a helper that failed, and how
    int start_error_ = 0;
    std::map<uint64_t, std::shared_ptr<Pending>> sent_;  // not answered yet
    std::map<Key, std::shared_ptr<Pending>> questions_;  // the last of each question
};

bool SlowQueries::State::Connected() {
    if (socket_ < 0) {
        return false;
    }
    // Still the socket that this process opened, not a number that the
    // application has closed and reused: that is not the library's to close.
    if (StillTheFile(socket_, socket_identity_)) {
        return true;
    }
    KeepInForkedChildren(socket_);
    socket_ = -1;
    socket_copy_ = -1;
    reading_ = false;
    Disconnect(EIO);
    return false;
}

int SlowQueries::State::Connect() {
    // A listening socket whose abstract name the kernel picks; only the
    // helper started for it is taken, by its pid.
    FileDescriptor listener(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socklen_t length = sizeof(sa_family_t);
    if (listener.get() < 0 || bind(listener.get(), reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        listen(listener.get(), 4) != 0) {
        return errno;
    }
    length = sizeof address;
    if (getsockname(listener.get(), reinterpret_cast<sockaddr *>(&address), &length) != 0 ||
        length <= sizeof(sa_family_t) + 1 || address.sun_path[0] != '\0') {
        return EIO;
    }
    // Its name as the kernel spells it: five hexadecimal digits after the 0.
    const std::string name(address.sun_path + 1, length - sizeof(sa_family_t) - 1);
    const std::shared_ptr<HelperStart> start = StartHelper(name, forked_query_);
    const Clock::time_point deadline = Clock::now() + timeout_;
    for (;;) {
        FileDescriptor connection(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (connection.get() >= 0) {
            // Connected, the helper has started: its pid is told at once.
            ucred peer{};
            socklen_t size = sizeof peer;
            const std::optional<FileIdentity> identity = IdentityOfOpenFile(connection.get());
            if (getsockopt(connection.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && identity &&
                start->WaitUntil(deadline) && start->error() == 0 && peer.pid == start->pid()) {
                socket_ = connection.get();
                connection.Forget();
                socket_identity_ = *identity;
                socket_copy_ = socket_;
                CloseInForkedChildren(socket_, socket_identity_);
                return 0;
            }
            continue;  // another process's
        }
        if (errno == EINTR || errno == ECONNABORTED) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return errno;
        }
        if (start->WaitUntil(Clock::now()) && start->error() != 0) {
            return start->error();  // the program could not be started
        }
        if (Clock::now() >= deadline) {
            return ETIMEDOUT;  // the helper never came
        }
        // A while at a time, so that a start that failed ends the wait.
        pollfd watch{listener.get(), POLLIN, 0};
        poll(&watch, 1, std::min(MillisecondsUntil(deadline), 20));
    }
}

void SlowQueries::State::Disconnect(int error) {
    if (socket_ >= 0) {
        KeepInForkedChildren(socket_);
        close(socket_);
    }
    socket_ = -1;
    socket_copy_ = -1;
    // Such a failure is the helper's, not the file system's: not kept.
    for (auto question = questions_.begin(); question != questions_.end();) {
        question = question->second->done ? std::next(question) : questions_.erase(question);
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

void SlowQueries::State::ReadAnswers() {
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
            const Clock::time_point given{Clock::duration(message.answered)};
            sent->second->answered_at = std::min(given, Clock::now());
            sent_.erase(sent);
        }
    }
    answered_.notify_all();
}

bool SlowQueries::State::FileSystemPastDeadline(dev_t device) const {
    const Clock::time_point now = Clock::now();
    return std::any_of(questions_.begin(), questions_.end(), [device, now](const auto &question) {
        return std::get<1>(question.first) == device && !question.second->done && question.second->deadline <= now;
    });
}

bool SlowQueries::State::SendNow(uint64_t id, const Question &question, int root) {
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
    const int passed = question.kind == Question::Kind::kOpenFile ? question.fd : root;
    if (passed >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr *header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &passed, sizeof(int));
    }
    for (;;) {
        // Never a wait with the mutex held: a helper that reads nothing (one
        // stopped) fails the question at once.
        if (sendmsg(socket_, &message, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) {
            return true;
        }
        if (errno != EINTR) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                errno = ETIMEDOUT;
            }
            return false;
        }
    }
}

std::shared_ptr<Pending> SlowQueries::State::Send(const Question &question, const Key &key, int root) {
    auto pending = std::make_shared<Pending>();
    pending->deadline = Clock::now() + timeout_;
    auto fail = [&pending](int error) {
        pending->done = true;
        pending->answer.error = error;
        pending->answered_at = Clock::now();
        return pending;
    };
    // No helper (the program missing, or a 32-bit one under an emulator that
    // cannot start it, or one that did not come within the time-out): the
    // question cannot be asked, and is not kept. Nor is another start tried
    // for a time-out's while, so that waiting questions fail at once rather
    // than each wait for a start of its own.
    if (!Connected()) {
        if (Clock::now() - start_failed_at_ < timeout_) {
            return fail(start_error_);
        }
        if (const int error = Connect()) {
            start_failed_at_ = Clock::now();
            // One that did not come in time is a question not answered in time.
            start_error_ = error == EMFILE || error == ENFILE || error == ETIMEDOUT ? error : EIO;
            return fail(start_error_);
        }
    }
    const uint64_t id = next_id_++;
    bool sent = SendNow(id, question, root);
    if (!sent && (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) && !reading_) {
        // The helper has died since the last question: a new one.
        Disconnect(EIO);
        if (Connect() != 0) {
            return fail(EIO);
        }
        sent = SendNow(id, question, root);
    }
    if (!sent) {
        return fail(errno == EPIPE || errno == ECONNRESET ? EIO : errno);
    }
    // Answers that serve no more go, so that questions of ever new paths
    // leave nothing behind.
    const Clock::time_point now = Clock::now();
    for (auto known = questions_.begin(); known != questions_.end();) {
        const bool spent = known->second->done && now - known->second->answered_at >= kAnswerKept;
        known = spent ? questions_.erase(known) : std::next(known);
    }
    sent_[id] = pending;
    questions_[key] = pending;
    return pending;
}

std::shared_ptr<Pending> SlowQueries::State::Known(const Key &key, bool keep) {
    auto found = questions_.find(key);
    if (found == questions_.end()) {
        return nullptr;
    }
    // A lack of threads or descriptors in the helper is no answer of the
    // file system's: it serves only the questions that waited for it.
    const int error = found->second->answer.error;
    keep = keep && error != EAGAIN && error != EMFILE && error != ENFILE;
    if (found->second->done && (!keep || Clock::now() - found->second->answered_at >= kAnswerKept)) {
        questions_.erase(found);
        return nullptr;
    }
    return found->second;
}

void SlowQueries::State::Refresh(uint64_t table_changes) {
    // With the count in their keys, no question asked before a change serves
    // one after it. Those still pending stay, to get their answers and to
    // mark their file systems as past the deadline: a thread of the helper
    // that waits on one holds it, so its device number is no other's
    // meanwhile. Spent ones go with the next question sent.
    table_changes_ = table_changes;
    if (socket_ >= 0 && !reading_ && Connected()) {
        ReadAnswers();
    }
}

void SlowQueries::State::AskAhead(const std::vector<Question> &questions, uint64_t table_changes) {
    const Root root = RootOfCaller();
    if (root.fd.get() < 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    Refresh(table_changes);
    for (const Question &question : questions) {
        const Key key{question.kind, question.device, question.path, root.identity, table_changes_};
        if (!Known(key, question.keep) && !FileSystemPastDeadline(question.device)) {
            Send(question, key, root.fd.get());
        }
    }
}

std::optional<FileSystemAnswer> SlowQueries::State::Ask(const Question &question, uint64_t table_changes) {
    // Open files of one file system ask the same question, wherever they lie.
    const bool by_path = question.kind != Question::Kind::kOpenFile;
    const Root root = by_path ? RootOfCaller() : Root();
    if (by_path && root.fd.get() < 0) {
        FileSystemAnswer failed;
        failed.error = errno;  // EMFILE: without it the helper would answer under its own root
        return failed;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    Refresh(table_changes);
    const Key key{question.kind, question.device, by_path ? question.path : std::string(), root.identity,
                  table_changes_};
    std::shared_ptr<Pending> pending = Known(key, question.keep);
    if (!pending) {
        if (FileSystemPastDeadline(question.device)) {
            return std::nullopt;
        }
        pending = Send(question, key, root.fd.get());
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
    : timeout_(timeout),
      forked_query_(forked_query ? RootedQuery([query = std::move(forked_query)](int, const std::string &path) {
          return query(path);
      })
                                 : RootedQuery()) {}

SlowQueries::~SlowQueries() {
    State *state = state_.load();
    if (state && state->forks_ == ForkCount()) {
        delete state;
    } else if (state) {
        state->LetGoInChild();  // the parent's: left as it is
    }
}

SlowQueries::State &SlowQueries::Mine() {
    const uint64_t forks = ForkCount();
    State *state = state_.load(std::memory_order_acquire);
    while (!state || state->forks_ != forks) {
        auto mine = std::make_unique<State>(timeout_, forked_query_, forks);
        if (state_.compare_exchange_strong(state, mine.get(), std::memory_order_acq_rel)) {
            if (state) {
                // A parent's, copied by the fork: its lock may be held and its
                // condition variable waited on by threads that are not here.
                // It is never used or freed here.
                state->LetGoInChild();
            }
            state = mine.release();
        }
    }
    return *state;
}

std::optional<FileSystemAnswer> SlowQueries::Ask(const Question &question) {
    return Mine().Ask(question, table_changes_.load(std::memory_order_relaxed));
}

void SlowQueries::AskAhead(const std::vector<Question> &questions) {
    Mine().AskAhead(questions, table_changes_.load(std::memory_order_relaxed));
}

}  // namespace winstub::this_machine

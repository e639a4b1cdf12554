// The helper's side of the slow queries (linux_slow_queries.h): in the
// helper program, and in the fork that tests start instead.
#include <dirent.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "linux_slow_queries.h"

namespace winstub::this_machine {

namespace {

// The descriptors open in this process: the application's that the kernel
// copied into the helper's table.
std::vector<int> Inherited() {
    std::vector<int> inherited;
    if (std::unique_ptr<DIR, CloseDirectory> listing(opendir("/proc/self/fd")); listing) {
        const int own = dirfd(listing.get());
        while (const dirent *entry = readdir(listing.get())) {
            char *end = nullptr;
            const long fd = std::strtol(entry->d_name, &end, 10);
            if (end != entry->d_name && *end == '\0' && fd != own) {
                inherited.push_back(static_cast<int>(fd));
            }
        }
        return inherited;
    }
    rlimit limit{};
    const rlim_t most = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                            ? std::min<rlim_t>(limit.rlim_cur, 1 << 20)
                            : 1 << 16;
    for (rlim_t fd = 0; fd < most; ++fd) {
        if (fcntl(static_cast<int>(fd), F_GETFD) >= 0) {
            inherited.push_back(static_cast<int>(fd));
        }
    }
    return inherited;
}

// Closing an inherited file may wait until a FUSE daemon has flushed it:
// each of the lowest 64 (all that the kernel copies into a new helper's
// table) is let go by a thread of its own, so that one that waits keeps no
// other open; any others (a fork, or a kernel before 5.9) by one more.
// 0, 1 and 2 go to /dev/null (`null_file`, kept) rather than closed, so that
// no file of the helper's takes their numbers.
void Release(const std::vector<int> &inherited, int null_file) {
    auto release = [null_file](std::vector<int> descriptors) {
        for (int fd : descriptors) {
            if (fd < 3 && null_file >= 0) {
                dup2(null_file, fd);
            } else {
                close(fd);
            }
        }
    };
    std::vector<std::vector<int>> parts;
    for (int fd : inherited) {
        if (fd < 64 || parts.empty() || parts.back().front() < 64) {
            parts.push_back({});
        }
        parts.back().push_back(fd);
    }
    for (const std::vector<int> &part : parts) {
        try {
            std::thread(release, part).detach();  // a copy: the thread may not start
        } catch (const std::system_error &) {
            release(part);
        }
    }
}

int ConnectTo(const std::string &name) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name.empty() || name.size() >= sizeof address.sun_path) {
        return -1;
    }
    std::memcpy(address.sun_path + 1, name.data(), name.size());  // abstract: after a 0
    FileDescriptor connection(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    const socklen_t length = static_cast<socklen_t>(sizeof(sa_family_t) + 1 + name.size());
    if (connection.get() < 0 || connect(connection.get(), reinterpret_cast<sockaddr *>(&address), length) != 0) {
        return -1;
    }
    const int fd = connection.get();
    connection.Forget();
    return fd;
}

}  // namespace

FileSystemAnswer QueryLoopDevice(int root, const std::string &node, dev_t device) {
    FileSystemAnswer answer;
    FileDescriptor loop(OpenUnder(root, node, O_RDONLY | O_NONBLOCK));
    struct stat status {};
    loop_info64 info{};
    if (loop.get() < 0 || fstat(loop.get(), &status) != 0) {
        answer.error = errno;
    } else if (!S_ISBLK(status.st_mode) || status.st_rdev != device) {
        answer.error = ENODEV;  // not the device asked about
    } else if (ioctl(loop.get(), LOOP_GET_STATUS64, &info) != 0) {
        answer.error = errno;  // ENXIO: nothing attached
    } else {
        // The kernel's encoding, which is glibc's for 12-bit majors.
        answer.place.device = static_cast<dev_t>(info.lo_device);
    }
    return answer;
}

namespace {

// Questions are read by whichever reading thread the kernel wakes (a
// SEQPACKET socket gives each message to one), and answered by that thread:
// on the usual path no thread is started, nor woken, between question and
// answer. One that waits on a file system that does not answer keeps the
// others from nothing, as a new reader is started whenever the last one
// takes a question.
class Answerers {
public:
    Answerers(int socket, const RootedQuery &query) : socket_(socket), query_(query) {}

    // Reads and answers until the library's end closes, then ends the
    // process; the first thread (`lasting`) never leaves before that.
    void Serve(bool lasting) {
        std::vector<char> buffer(sizeof(RequestHeader) + PATH_MAX + 1);
        for (;;) {
            Answer(buffer);
            // Two readers at most stay once their questions are answered.
            // Counted only once it stays: a count that overstated the
            // readers for a moment could leave none.
            int readers = reading_.load();
            do {
                if (readers >= kSpareReaders && !lasting) {
                    return;
                }
            } while (!reading_.compare_exchange_weak(readers, readers + 1));
        }
    }

private:
    static constexpr int kSpareReaders = 2;

    // Reads one question and answers it; `reading_` is one less after.
    void Answer(std::vector<char> &buffer) {
        iovec part{buffer.data(), buffer.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        msghdr message{};
        ssize_t count;
        do {
            message = msghdr{};
            message.msg_iov = &part;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            count = recvmsg(socket_, &message, MSG_CMSG_CLOEXEC);
        } while (count < 0 && errno == EINTR);
        if (count <= 0) {
            // Threads that still wait on a file system end with the
            // process, or, in an uninterruptible wait, when it answers.
            _exit(0);
        }
        const bool last = reading_.fetch_sub(1) == 1;
        FileDescriptor fd;  // the asking thread's root, or the open file asked about
        for (cmsghdr *header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS) {
                int received = -1;
                std::memcpy(&received, CMSG_DATA(header), sizeof received);
                fd = FileDescriptor(received);
            }
        }
        RequestHeader request;
        if (static_cast<size_t>(count) < sizeof request || (message.msg_flags & MSG_TRUNC)) {
            return;  // no question of the library's
        }
        std::memcpy(&request, buffer.data(), sizeof request);
        AnswerMessage reply;
        reply.id = request.id;
        if (last && !StartReader()) {
            reply.answer.error = EAGAIN;  // no thread would read while this one waits
        } else if (fd.get() < 0 && (message.msg_flags & MSG_CTRUNC)) {
            // The kernel had no number free for the root (or file) that came
            // with it: without it, a path would be looked up under this
            // program's own root.
            reply.answer.error = EMFILE;
        } else {
            const std::string path(buffer.data() + sizeof request, static_cast<size_t>(count) - sizeof request);
            if (request.kind == static_cast<uint32_t>(Question::Kind::kLoopDevice)) {
                reply.answer = QueryLoopDevice(fd.get(), path, static_cast<dev_t>(request.reserved));
            } else if (request.kind == static_cast<uint32_t>(Question::Kind::kOpenFile)) {
                reply.answer = fd.get() >= 0 ? QueryOpenFile(fd.get()) : FileSystemAnswer{EBADF, {}, {}};
            } else {
                reply.answer = query_(fd.get(), path);  // fd: the asking thread's root
            }
        }
        // The close of an open file sends its FUSE daemon a flush, which it
        // may not answer: that one goes after the answer. A root is an
        // O_PATH descriptor, whose close asks nothing: it goes before, so
        // that nothing of the caller's is left here once it has its answer.
        if (request.kind != static_cast<uint32_t>(Question::Kind::kOpenFile)) {
            fd = FileDescriptor();
        }
        reply.answered = std::chrono::steady_clock::now().time_since_epoch().count();
        send(socket_, &reply, sizeof reply, MSG_NOSIGNAL);
        fd = FileDescriptor();
    }

    bool StartReader() {
        reading_.fetch_add(1);
        try {
            std::thread([this] { Serve(false); }).detach();
            return true;
        } catch (const std::system_error &) {
            reading_.fetch_sub(1);
            return false;
        }
    }

    const int socket_;
    const RootedQuery &query_;
    std::atomic<int> reading_{1};  // threads in, or on their way to, recvmsg
};

}  // namespace

bool ServeQuestions(const std::string &name, const RootedQuery &query) {
    [[maybe_unused]] const int moved = chdir("/");  // else it stays: nowhere else to go
    const std::vector<int> inherited = Inherited();
    // 0, 1 and 2 that are free are taken at once.
    const int null_file = open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int standard = 0; standard < 3 && null_file >= 0; ++standard) {
        if (standard != null_file && std::find(inherited.begin(), inherited.end(), standard) == inherited.end()) {
            dup2(null_file, standard);
        }
    }
    // The application's limit came along: each question that waits holds
    // two descriptors here, so take all that is allowed.
    if (rlimit limit{}; getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    const int socket = ConnectTo(name);
    Release(inherited, null_file);
    if (socket < 0) {
        return false;
    }
    // Never destroyed: readers outlive this frame until the process ends.
    (new Answerers(socket, query))->Serve(true);
    return true;
}

}  // namespace winstub::this_machine

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
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "linux_slow_queries.h"

namespace winstub::this_machine {

void ReleaseInherited(int keep) {
    [[maybe_unused]] const int moved = chdir("/");  // else it stays: nowhere else to go
    std::vector<int> inherited;
    if (std::unique_ptr<DIR, CloseDirectory> listing(opendir("/proc/self/fd")); listing) {
        const int own = dirfd(listing.get());
        while (const dirent *entry = readdir(listing.get())) {
            char *end = nullptr;
            const long fd = std::strtol(entry->d_name, &end, 10);
            if (end != entry->d_name && *end == '\0' && fd != own && fd != keep) {
                inherited.push_back(static_cast<int>(fd));
            }
        }
    } else {
        rlimit limit{};
        const rlim_t most = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                                ? std::min<rlim_t>(limit.rlim_cur, 1 << 20)
                                : 1 << 16;
        for (rlim_t fd = 0; fd < most; ++fd) {
            if (static_cast<int>(fd) != keep && fcntl(static_cast<int>(fd), F_GETFD) >= 0) {
                inherited.push_back(static_cast<int>(fd));
            }
        }
    }
    // 0, 1 and 2 stay open, on /dev/null, so that no file of the helper's
    // own takes their numbers.
    const int null_file = open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int standard = 0; standard < 3 && null_file >= 0; ++standard) {
        if (fcntl(standard, F_GETFD) < 0) {
            dup2(null_file, standard);
        }
    }
    auto release = [inherited, null_file] {
        for (int fd : inherited) {
            if (fd < 3 && null_file >= 0) {
                dup2(null_file, fd);
            } else {
                close(fd);
            }
        }
        if (null_file > 2) {
            close(null_file);
        }
    };
    try {
        std::thread(release).detach();
    } catch (const std::system_error &) {
        release();
    }
}

FileSystemAnswer QueryLoopDevice(const std::string &node, dev_t device) {
    FileSystemAnswer answer;
    FileDescriptor loop(open(node.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
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

void ServeQuestions(int socket, const PathQuery &query) {
    std::vector<char> buffer(sizeof(RequestHeader) + PATH_MAX + 1);
    for (;;) {
        iovec part{buffer.data(), buffer.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t count = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return;  // the application's end has closed
        }
        int fd = -1;
        for (cmsghdr *header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS) {
                std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
            }
        }
        RequestHeader request;
        if (static_cast<size_t>(count) < sizeof request || (message.msg_flags & MSG_TRUNC)) {
            if (fd >= 0) {
                close(fd);
            }
            continue;  // no question of the library's
        }
        std::memcpy(&request, buffer.data(), sizeof request);
        std::string path(buffer.data() + sizeof request, static_cast<size_t>(count) - sizeof request);
        auto answer = [socket, &query, request, path = std::move(path), fd](int failure) {
            AnswerMessage reply;
            reply.id = request.id;
            if (failure) {
                reply.answer.error = failure;
            } else if (request.kind == static_cast<uint32_t>(Question::Kind::kLoopDevice)) {
                reply.answer = QueryLoopDevice(path, static_cast<dev_t>(request.reserved));
            } else if (request.kind == static_cast<uint32_t>(Question::Kind::kOpenFile)) {
                reply.answer = fd >= 0 ? QueryOpenFile(fd) : FileSystemAnswer{EBADF, {}, {}};
            } else {
                reply.answer = query(path);
            }
            if (fd >= 0) {
                close(fd);
            }
            send(socket, &reply, sizeof reply, MSG_NOSIGNAL);
        };
        // A thread of its own: one that waits on a file system that does
        // not answer keeps the others from nothing.
        try {
            std::thread(answer, 0).detach();
        } catch (const std::system_error &) {
            answer(EAGAIN);
        }
    }
}

}  // namespace winstub::this_machine

// Queries of file systems that may never answer (a dead server, a FUSE
// daemon that stopped), asked of one helper process with a bounded wait.
//
// A thread that waits on such a file system can sit in an uninterruptible
// sleep that keeps its process from ending, so no thread of the application
// asks. The helper is started on first need, detached from the
// application's process tree: no child of the application, nothing in its
// waits, no SIGCHLD, no pid that the library ever signals or collects. It
// takes a descriptor table of its own without closing any of the
// application's files, lets go of what the kernel copied into it where no
// wait of the application's depends on it, and connects back to the
// library; it answers each question in a thread of its own, resolving paths
// in the root (and so the mount namespace) of the thread that asked, and
// ends when the library's end of the connection closes. Each process has
// its own state: a forked child starts afresh and never waits on its
// parent's. docs/this_machine.md has its life in one table.
#ifndef WINSTUB_LINUX_SLOW_QUERIES_H
#define WINSTUB_LINUX_SLOW_QUERIES_H

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "linux_mount_table.h"
#include "linux_probes.h"

namespace winstub::this_machine {

// The place and statistics of a path, as QueryPath answers.
using PathQuery = std::function<FileSystemAnswer(const std::string &path)>;
// The same, the path resolved under `root`, a directory (-1: the helper's own root).
using RootedQuery = std::function<FileSystemAnswer(int root, const std::string &path)>;

// One question of a file system. Questions share a pending answer only when
// they are the same: statistics at one path of one file system, asked under
// one root, or of an open file of one file system.
struct Question {
    // kLoopDevice: the device of the file system that holds the backing
    // file of the loop device whose node is `path` and whose number is
    // `device` (answered in place.device): the loop driver asks that file
    // system for it, which may hang.
    enum class Kind : uint8_t { kAtPath = 1, kOpenFile = 3, kLoopDevice = 4 };
    Kind kind = Kind::kAtPath;
    dev_t device = 0;  // the file system asked, as the mount table places the path
    std::string path;  // kAtPath, kLoopDevice: absolute
    int fd = -1;       // kOpenFile: the open file, passed to the helper
    // Whether the answer serves the same question again for a while (a
    // volume's mount directory, an open file); a directory elsewhere, which
    // a symbolic link or a removal may change, asks anew each time.
    bool keep = true;
};

// A question on the socket: this header, then the path's bytes; beside it
// (SCM_RIGHTS) the open file, or the asking thread's root directory.
struct RequestHeader {
    uint64_t id = 0;
    uint32_t kind = 0;
    uint32_t reserved = 0;
};

// An answer: helper and library are one build, so the structure travels as it is.
struct AnswerMessage {
    uint64_t id = 0;
    // When the helper had it (the steady clock, which is the system's): an
    // answer may wait in the socket long after.
    int64_t answered = 0;
    FileSystemAnswer answer;
};

// How long an answer serves the same question again: a refresh asks each
// volume's statistics twice in a row (GetVolumeInformationW, then
// GetDiskFreeSpaceExW). A change of the mount table ends it sooner.
constexpr std::chrono::milliseconds kAnswerKept{100};

// `path` as an absolute path: the helper has a current directory of its own.
// Nothing is asked of a file system (the kernel keeps the current
// directory's name); nullopt when it has none (removed, out of reach).
std::optional<std::string> AbsolutePath(const std::string &path);
// The device number of the file system that the mount table says holds the
// absolute `path`, judged by its text alone: the mount with the longest mount
// directory that contains it, the last mounted where several share one.
std::optional<dev_t> FileSystemOfPathText(const std::vector<Mount> &mounts, const std::string &path);

// The device of the file system that holds a loop device's backing file
// (the helper's answer to kLoopDevice), or the errno value; its node is
// resolved under `root`.
FileSystemAnswer QueryLoopDevice(int root, const std::string &node, dev_t device);

// The helper's side: connects to the library's listening socket of the
// abstract `name` and answers the questions that arrive there until the
// library's end closes; path questions with `query`. First 0, 1 and 2 go to
// /dev/null, the current directory is let go (it would keep its mount busy),
// and so is every descriptor of the application's that came along, each by
// a thread of its own, since closing a file of a FUSE file system that does
// not answer may wait. False when it cannot connect.
bool ServeQuestions(const std::string &name, const RootedQuery &query);

// How the start of a helper went, as the thread that starts it tells.
class HelperStart {
public:
    void Tell(pid_t pid, int error);
    // Waits until told or until `deadline`; false at the deadline.
    bool WaitUntil(std::chrono::steady_clock::time_point deadline);
    // Once told: the helper's pid (the only peer to take), or the errno value.
    pid_t pid() const { return pid_; }
    int error() const { return error_; }

private:
    std::mutex mutex_;
    std::condition_variable told_;
    bool done_ = false;
    pid_t pid_ = 0;
    int error_ = 0;
};

// The library's side: starts a helper that connects to the listening socket
// of the abstract `name`: the program beside the library, from a thread of
// its own, since executing it may wait on a file system (the program's, the
// root's) that does not answer; or with `forked_query` a fork of this
// process that answers with it.
std::shared_ptr<HelperStart> StartHelper(const std::string &name, const RootedQuery &forked_query);

class SlowQueries {
public:
    // The helper is the program beside the library (winstub-queries) when
    // `forked_query` is empty; for tests, a fork of this process that answers
    // path questions with `forked_query`.
    SlowQueries(std::chrono::milliseconds timeout, PathQuery forked_query);
    ~SlowQueries();
    SlowQueries(const SlowQueries &) = delete;
    SlowQueries &operator=(const SlowQueries &) = delete;

    // The answer, or nullopt when it has not come by the deadline, the time-out
    // after the question was first asked. While a question of a file system
    // is past its deadline unanswered, every new question of it fails at once.
    std::optional<FileSystemAnswer> Ask(const Question &question);
    // Sends those of `questions` that are neither pending nor answered
    // lately, without waiting: the helper asks their file systems side by
    // side, and the Ask that follows finds the answer there, or waits for it
    // until its deadline as ever.
    void AskAhead(const std::vector<Question> &questions);
    // The mount table has changed: no answer given or pending serves a new
    // question, since a file system mounted since may have the device number
    // and mount ID of one gone. Takes no lock.
    void EndKeptAnswers() { table_changes_.fetch_add(1, std::memory_order_relaxed); }

private:
    class State;
    // This process's state, made at the first question and anew in a child
    // forked since: the parent's (its lock, its waiters, its connection) is
    // left as the fork copied it.
    State &Mine();

    const std::chrono::milliseconds timeout_;
    const RootedQuery forked_query_;
    std::atomic<State *> state_{nullptr};
    std::atomic<uint64_t> table_changes_{0};
};

}  // namespace winstub::this_machine

#endif  // WINSTUB_LINUX_SLOW_QUERIES_H

// Queries of file systems that may never answer (a dead server, a FUSE
// daemon that stopped), asked of one helper process with a bounded wait.
//
// A thread that waits on such a file system can sit in an uninterruptible
// sleep that keeps its process from ending, so no thread of the application
// asks. The helper is started on first need, detached from the
// application's process tree: no child of the application, nothing in its
// waits, no SIGCHLD, no pid that the library ever signals or collects. It
// answers over a socket pair, each question in a thread of its own, and ends
// when the application's end of the socket closes. docs/this_machine.md has
// its life in one table.
#ifndef WINSTUB_LINUX_SLOW_QUERIES_H
#define WINSTUB_LINUX_SLOW_QUERIES_H

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "linux_mount_table.h"
#include "linux_probes.h"
#include "mutex.h"

namespace winstub::this_machine {

// The place and statistics of a path, as QueryPath answers.
using PathQuery = std::function<FileSystemAnswer(const std::string &path)>;

// One question of a file system. Questions share a pending answer only when
// they are the same: statistics at one path of one file system (a mount
// directory), of whatever directory of one file system, or of an open file
// of one file system.
struct Question {
    // kLoopDevice: the device of the file system that holds the backing
    // file of the loop device whose node is `path` and whose number is
    // `device` (answered in place.device): the loop driver asks that file
    // system for it, which may hang.
    enum class Kind : uint8_t { kAtPath = 1, kInFileSystem = 2, kOpenFile = 3, kLoopDevice = 4 };
    Kind kind = Kind::kAtPath;
    dev_t device = 0;  // the file system asked (for kInFileSystem as the mount table places the path)
    std::string path;  // kAtPath, kInFileSystem
    int fd = -1;       // kOpenFile: the open file, passed to the helper
};

// A question on the socket: this header, then the path's bytes; an open file
// travels beside it (SCM_RIGHTS).
struct RequestHeader {
    uint64_t id = 0;
    uint32_t kind = 0;
    uint32_t reserved = 0;
};

// An answer: helper and library are one build, so the structure travels as it is.
struct AnswerMessage {
    uint64_t id = 0;
    FileSystemAnswer answer;
};

// How long an answer serves the same question again: a refresh asks each
// volume's statistics twice in a row (GetVolumeInformationW, then
// GetDiskFreeSpaceExW).
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
// (the helper's answer to kLoopDevice), or the errno value.
FileSystemAnswer QueryLoopDevice(const std::string &node, dev_t device);

// The helper's side: answers the questions that arrive on `socket` until its
// other end closes; path questions with `query`.
void ServeQuestions(int socket, const PathQuery &query);
// In a new helper: the application's current directory is let go (it would
// keep its mount busy), and every descriptor but `keep` (0, 1 and 2 become
// /dev/null), by a thread of its own, since closing a file of a FUSE file
// system that does not answer may wait.
void ReleaseInherited(int keep);

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

private:
    using Key = std::tuple<Question::Kind, dev_t, std::string>;
    struct Pending;

    static Key KeyOf(const Question &question);
    // The question's pending or recent answer, if any; a spent one is dropped.
    std::shared_ptr<Pending> Known(const Key &key);

    bool Connected();
    int Connect();
    void Disconnect(int error);
    void ReadAnswers();
    std::shared_ptr<Pending> Send(const Question &question, const Key &key);
    bool SendNow(uint64_t id, const Question &question, std::chrono::steady_clock::time_point deadline);
    bool FileSystemPastDeadline(dev_t device) const;

    const std::chrono::milliseconds timeout_;
    const PathQuery forked_query_;

    Mutex mutex_;
    std::condition_variable_any answered_;
    // This process's end of the helper's socket; a forked child finds its
    // parent's here and leaves it be.
    pid_t owner_ = 0;
    int socket_ = -1;
    dev_t socket_device_ = 0;
    ino_t socket_inode_ = 0;
    bool reading_ = false;  // a waiter polls the socket without the mutex
    uint64_t next_id_ = 1;
    std::map<uint64_t, std::shared_ptr<Pending>> sent_;  // not answered yet
    std::map<Key, std::shared_ptr<Pending>> questions_;  // the last of each question
};

}  // namespace winstub::this_machine

#endif  // WINSTUB_LINUX_SLOW_QUERIES_H

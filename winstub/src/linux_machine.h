// "This machine": the Windows volume functions answered from the Linux
// kernel's view of the machine the process runs on, in the process's mount
// namespace.
#ifndef WINSTUB_LINUX_MACHINE_H
#define WINSTUB_LINUX_MACHINE_H

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "linux_mount_table.h"
#include "linux_probes.h"
#include "mutex.h"
#include "linux_slow_queries.h"
#include "linux_volumes.h"
#include "machine.h"

namespace winstub {

namespace this_machine {

struct Options {
    // Where the mount table, sysfs and /dev are read, and how devices are probed.
    Environment environment;
    // The place and statistics of a mount directory or of a directory that
    // GetDiskFreeSpaceExW is asked about.
    std::function<FileSystemAnswer(const std::string &path)> query = QueryPath;
    // The statistics of a mount directory that showed its volume when the
    // table was read (of a volume that cannot hang).
    std::function<FileSystemAnswer(const std::string &path)> statistics = QueryStatistics;
    // How long a call waits for a file system that may hang (a network
    // server, a FUSE daemon) before it fails with ERROR_SEM_TIMEOUT. Such
    // queries run in a helper process (linux_slow_queries.h).
    std::chrono::milliseconds network_timeout{3000};
    // That helper: the program beside the library, which asks with QueryPath
    // (kProgram), or, for tests, a fork of this process that asks with `query`.
    enum class Helper { kProgram, kForkAskingQuery };
    Helper helper = Helper::kProgram;
};

}  // namespace this_machine

class ThisMachine final : public Machine {
public:
    explicit ThisMachine(this_machine::Options options = {});
    ~ThisMachine() override;

    // The device of the file system that holds a loop device's backing
    // file, asked with the bounded wait.
    std::optional<dev_t> LoopBacking(dev_t loop);

    DWORD FindFirstVolumeW(LPWSTR volume_name, DWORD buffer_length, HANDLE &find_volume) override;
    DWORD FindNextVolumeW(HANDLE find_volume, LPWSTR volume_name, DWORD buffer_length) override;
    DWORD FindVolumeClose(HANDLE find_volume) override;
    DWORD GetVolumePathNamesForVolumeNameW(LPCWSTR volume_name, LPWCH volume_path_names, DWORD buffer_length,
                                           PDWORD return_length) override;
    DWORD GetVolumeInformationW(LPCWSTR root_path_name, const VolumeInformationOutput &output) override;
    DWORD GetVolumeInformationByHandleW(HANDLE file, const VolumeInformationOutput &output) override;
    DWORD GetDriveTypeW(LPCWSTR root_path_name, UINT &drive_type) override;
    DWORD GetDiskFreeSpaceExW(LPCWSTR directory_name, PULARGE_INTEGER free_bytes_available_to_caller,
                              PULARGE_INTEGER total_number_of_bytes,
                              PULARGE_INTEGER total_number_of_free_bytes) override;

private:
    struct Snapshot;
    struct Search {
        std::shared_ptr<const Snapshot> snapshot;
        size_t position;
    };

    // The volumes as the mount table has them now. A `fresh` snapshot is read
    // anew (a new enumeration); otherwise the last one serves until the
    // mount table changes.
    DWORD Current(bool fresh, std::shared_ptr<const Snapshot> &snapshot);
    // The volume a root path names: its GUID name or one of its mount points.
    static const this_machine::Volume *Find(const Snapshot &snapshot, const std::u16string &root);
    // The same of a root argument, where NULL and "\" name the volume of the
    // current directory, as Windows takes them for the current drive's root.
    static const this_machine::Volume *FindRoot(const Snapshot &snapshot, LPCWSTR root);
    // The statistics of a volume's file system, through the first of its
    // mount directories that shows it; `stats` stays empty when none does.
    DWORD VolumeStats(const Snapshot &snapshot, const this_machine::Volume &volume,
                      std::optional<struct statvfs> &stats);
    // A question of a file system, asked in this process, or with a bounded
    // wait in the helper process when `bounded`.
    DWORD Ask(bool bounded, const this_machine::Question &question, this_machine::FileSystemAnswer &answer);
    // The kernel's answer about a directory that is not known beforehand
    // (absolute path), asked with the bounded wait (linux_roots.cpp).
    DWORD AskDirectory(const Snapshot &snapshot, const std::string &path, this_machine::FileSystemAnswer &answer);
    // The volume whose root GetVolumeInformationW's argument names, or the
    // error Windows answers for it (linux_roots.cpp).
    DWORD VolumeOfRoot(const Snapshot &snapshot, LPCWSTR root, const this_machine::Volume *&volume);

    const this_machine::Options options_;
    const std::unique_ptr<this_machine::SlowQueries> slow_;

    Mutex mutex_;
    std::shared_ptr<const Snapshot> snapshot_;
    this_machine::MountTableWatch mount_table_;
    std::map<int64_t, Search> searches_;
    int64_t next_search_ = 0x100;
    uint64_t reads_started_ = 0;    // table reads begun, and the last one installed
    uint64_t reads_installed_ = 0;
};

// The volumes of one read of the mount table, and their indexes.
struct ThisMachine::Snapshot {
    std::vector<this_machine::Mount> mounts;
    std::vector<this_machine::Volume> volumes;
    // Keyed by views of the volumes' own names, which outlive the indexes.
    std::unordered_map<std::u16string_view, size_t> by_name;
    // The volume last found by its name: callers ask several functions of
    // one volume in a row (a refresh asks five), and comparing one name costs
    // less than hashing it. Any index of `volumes` is sound, whichever thread
    // left it.
    mutable std::atomic<size_t> last_named{0};
    // The volume on top at each mount point: the last one mounted there.
    std::unordered_map<std::u16string_view, size_t> by_mount_point;
    std::map<dev_t, size_t> by_device;
    std::map<uint64_t, size_t> mount_by_id;
    // Whether the statistics of its volumes that may hang have been asked
    // ahead, all at once: set at the first such question.
    mutable std::atomic<bool> asked_ahead{false};
};

// This machine with the real root.
std::shared_ptr<Machine> MakeThisMachine();

}  // namespace winstub

#endif  // WINSTUB_LINUX_MACHINE_H

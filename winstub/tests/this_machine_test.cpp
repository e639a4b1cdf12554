// This machine: the mapping of a Linux system to Windows volumes, on the
// fixture tree under fixtures/desktop (its mount table, sysfs and /dev), and
// the Windows functions served from it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libmount.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "linux_machine.h"
#include "linux_mount_table.h"
#include "linux_probes.h"
#include "linux_slow_queries.h"
#include "linux_volumes.h"
#include "machine.h"
#include "mutex.h"
#include "enumerate.h"
#include "winstub/control.h"
#include "winstub/windows.h"

namespace {

namespace fs = std::filesystem;
using winstub::this_machine::DeviceFacts;
using winstub::this_machine::Environment;
using winstub::this_machine::FileSystemAnswer;
using winstub::this_machine::Mount;
using winstub::this_machine::Place;
using winstub::this_machine::Volume;

const std::string kFixture = std::string(WINSTUB_FIXTURES) + "/desktop";
constexpr DWORD kName = MAX_PATH + 1;

std::string Narrow(const std::u16string &text) {
    return std::string(text.begin(), text.end());
}

std::u16string Guid(const std::string &guid) {
    return u"\\\\?\\Volume{" + winstub::this_machine::FromLinux(guid) + u"}\\";
}

// A fresh directory, removed with everything in it.
struct TemporaryDirectory {
    fs::path path;
    TemporaryDirectory() {
        std::string pattern = (fs::temp_directory_path() / "winstub-XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~TemporaryDirectory() { fs::remove_all(path); }
};

std::vector<Mount> FixtureMounts(const std::string &root = kFixture) {
    std::vector<Mount> mounts;
    EXPECT_EQ(winstub::this_machine::ReadMountTable(root + "/proc/self/mountinfo", mounts), 0);
    return mounts;
}

// Where the fixture's local mount directories lead. /dev/shm shows the
// tmpfs mounted last there; the btrfs subvolumes have device numbers of
// their own, as stat reports them.
std::map<std::string, Place> FixturePlaces() {
    return {
        {"/", {true, 20, makedev(8, 2)}},       {"/dev/shm", {true, 36, makedev(0, 46)}},
        {"/home", {true, 26, makedev(254, 0)}}, {"/srv/data", {true, 31, makedev(254, 0)}},
        {"/data", {true, 32, makedev(0, 60)}},  {"/snapshots", {true, 33, makedev(0, 61)}},
    };
}

Environment FixtureEnvironment(const std::string &root, std::set<std::string> *asked = nullptr) {
    Environment environment;
    environment.root = root;
    environment.place = [places = FixturePlaces(), asked](const std::string &path) -> std::optional<Place> {
        if (asked) {
            asked->insert(path);
        }
        auto place = places.find(path);
        return place == places.end() ? std::nullopt : std::optional<Place>(place->second);
    };
    return environment;
}

// A fork while another thread holds a lock of the machine's waits for it, so
// that the child (which has no such thread) finds every lock free.
TEST(Mutex, AForkedChildFindsItFree) {
    winstub::Mutex mutex;
    std::mutex state;
    std::condition_variable changed;
    bool holding = false;
    std::thread holder([&] {
        std::lock_guard<winstub::Mutex> held(mutex);
        {
            std::lock_guard<std::mutex> lock(state);
            holding = true;
        }
        changed.notify_all();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    });
    {
        std::unique_lock<std::mutex> lock(state);
        changed.wait(lock, [&] { return holding; });
    }
    const pid_t child = fork();
    if (child == 0) {
        _exit(mutex.try_lock() ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    holder.join();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // The forking thread's own locks stay its own in the child.
    std::lock_guard<winstub::Mutex> held(mutex);
    const pid_t second = fork();
    if (second == 0) {
        _exit(mutex.HeldByThisThread() ? 0 : 1);
    }
    ASSERT_GT(second, 0);
    ASSERT_EQ(waitpid(second, &status, 0), second);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(MountTable, ReadThroughLibmount) {
    const std::vector<Mount> mounts = FixtureMounts();
    ASSERT_EQ(mounts.size(), 23u);
    const Mount &stick = mounts[7];
    EXPECT_EQ(stick.id, 27);
    EXPECT_EQ(stick.device, makedev(8, 17));
    EXPECT_EQ(stick.target, "/media/user/USB STICK");
    EXPECT_EQ(stick.fstype, "vfat");
    EXPECT_EQ(stick.source, "/dev/sdb1");
    EXPECT_EQ(stick.vfs_options, "rw,nosuid,nodev,relatime");
    EXPECT_TRUE(winstub::this_machine::HasOption(stick.fs_options, "shortname"));
    EXPECT_FALSE(stick.network);
    EXPECT_EQ(mounts[12].root, "/data");
    EXPECT_TRUE(mounts[9].network);  // nfs4

    std::vector<Mount> none;
    EXPECT_EQ(winstub::this_machine::ReadMountTable(kFixture + "/proc/self/absent", none), ENOENT);
}

// The mount table as libmount reads it, to hold the machine's own reader to.
std::vector<Mount> LibmountMounts(const std::string &path) {
    std::vector<Mount> mounts;
    std::unique_ptr<libmnt_table, void (*)(libmnt_table *)> table(mnt_new_table(), mnt_unref_table);
    std::unique_ptr<libmnt_iter, void (*)(libmnt_iter *)> iterator(mnt_new_iter(MNT_ITER_FORWARD), mnt_free_iter);
    EXPECT_EQ(mnt_table_parse_file(table.get(), path.c_str()), 0);
    auto text = [](const char *value) { return value ? std::string(value) : std::string(); };
    libmnt_fs *fs = nullptr;
    while (mnt_table_next_fs(table.get(), iterator.get(), &fs) == 0) {
        Mount mount;
        mount.id = mnt_fs_get_id(fs);
        mount.parent_id = mnt_fs_get_parent_id(fs);
        mount.device = mnt_fs_get_devno(fs);
        mount.root = text(mnt_fs_get_root(fs));
        mount.target = text(mnt_fs_get_target(fs));
        mount.fstype = text(mnt_fs_get_fstype(fs));
        mount.source = text(mnt_fs_get_source(fs));
        mount.vfs_options = text(mnt_fs_get_vfs_options(fs));
        mount.fs_options = text(mnt_fs_get_fs_options(fs));
        mount.network = mnt_fs_is_netfs(fs) != 0;
        mounts.push_back(mount);
    }
    return mounts;
}

void ExpectSameTable(const std::string &path) {
    SCOPED_TRACE(path);
    std::vector<Mount> mounts;
    ASSERT_EQ(winstub::this_machine::ReadMountTable(path, mounts), 0);
    const std::vector<Mount> expected = LibmountMounts(path);
    ASSERT_EQ(mounts.size(), expected.size());
    for (size_t i = 0; i < mounts.size(); ++i) {
        const Mount &got = mounts[i];
        const Mount &want = expected[i];
        SCOPED_TRACE("line of mount " + std::to_string(want.id) + " at " + want.target);
        EXPECT_EQ(got.id, want.id);
        EXPECT_EQ(got.parent_id, want.parent_id);
        EXPECT_EQ(got.device, want.device);
        EXPECT_EQ(got.root, want.root);
        EXPECT_EQ(got.target, want.target);
        EXPECT_EQ(got.fstype, want.fstype);
        EXPECT_EQ(got.source, want.source);
        EXPECT_EQ(got.vfs_options, want.vfs_options);
        EXPECT_EQ(got.fs_options, want.fs_options);
        EXPECT_EQ(got.network, want.network);
    }
}

// The table is read without libmount (which costs more than the kernel's
// writing of it), to the same result: the fixture, lines that use every
// corner of the format, and this machine's own table.
TEST(MountTable, ReadAsLibmountReadsIt) {
    ExpectSameTable(kFixture + "/proc/self/mountinfo");

    TemporaryDirectory directory;
    const std::string corners = (directory.path / "corners").string();
    std::ofstream(corners)
        << "# a comment\n"
        << "\n"
        << "20 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
        << "21 20 0:40 /a\\040b /mnt/with\\040space\\011tab\\134slash rw master:3 propagate_from:2 - nfs4 "
           "host:/x\\040y rw,vers=4.2\r\n"
        << "22 20 0:41 / /gone\\040(deleted) rw - tmpfs tmpfs rw\n"
        << "23 20 0:42 / /empty-source rw -   tmpfs  rw,size=4k\n"
        << "24 20 0:43 / /new\\012line rw - fuse.sshfs user@h:/p rw,user_id=0\n"
        << "25 20 0:44 / /proc/fs/nfsd rw - nfsd nfsd rw\n"
        << "26 20 0:45 / /bad\\0x rw - 9p tag\\12 rw\n"
        << "27 20 bad / /bad rw - ext4 /dev/x rw\n"
        << "28 20 0:46 / /no-separator rw ext4 /dev/x rw\n"
        << "29\t20\t0:47\t/\t/tabs\trw\t-\tcifs\t//nas/share\trw\n"
        << "30 20 0:48 / /root-device rw - ext4 /dev/root rw\n"
        << "31 20 0:49 / /last rw - smb3 //h/s rw";
    ExpectSameTable(corners);

    const std::string own = (directory.path / "own").string();
    {
        std::ifstream table("/proc/self/mountinfo");
        std::ofstream(own) << table.rdbuf();
    }
    ExpectSameTable(own);
}

// Mount options split as libmount splits them.
TEST(MountTable, Options) {
    using winstub::this_machine::HasOption;
    using winstub::this_machine::OptionValue;
    const struct {
        const char *options;
        const char *name;
        bool present;
        std::optional<std::string> value;
    } cases[] = {
        {"rw,nosuid,ro", "ro", true, std::nullopt},
        {"rw,nosuid,relatime", "ro", false, std::nullopt},
        {"rw,rootcontext=\"system_u:object_r:t:s0,ro\",nodev", "ro", false, std::nullopt},
        {"rw,context=\"a,b\",ro", "ro", true, std::nullopt},
        {"rw,context=\"a,b\",ro", "context", true, std::string("\"a,b\"")},
        {"user_id=1000,group_id=0", "user_id", true, std::string("1000")},
        {"user_id=1000,group_id=0", "user", false, std::nullopt},
        {"user_id,user_id=5", "user_id", true, std::nullopt},
        {",,user_id=7,", "user_id", true, std::string("7")},
        {"subvol=/a=b", "subvol", true, std::string("/a=b")},
        {"size=", "size", true, std::string()},
        {"=x,y", "=x", true, std::nullopt},
        {"", "ro", false, std::nullopt},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(std::string(test.options) + " / " + test.name);
        EXPECT_EQ(HasOption(test.options, test.name), test.present);
        std::string value = "unchanged";
        EXPECT_EQ(OptionValue(test.options, test.name, value), test.value.has_value());
        EXPECT_EQ(value, test.value.value_or("unchanged"));
    }
    EXPECT_EQ(winstub::this_machine::OptionNames("rw,context=\"a,b\",size=64k,,ro"),
              (std::vector<std::string_view>{"rw", "context", "size", "ro"}));
}

// A fixture's table is a plain file, which never reports a change: only a
// first look, a fork or a move to another namespace makes Changed() true.
TEST(MountTable, AForkedChildWatchesOnItsOwn) {
    winstub::this_machine::MountTableWatch watch(kFixture);
    EXPECT_TRUE(watch.Changed());
    EXPECT_FALSE(watch.Changed());
    // What each generation reports: its first look, its second, and (for the
    // child) what its own child's first and second looks were.
    auto child_looks = [&watch]() -> int {
        int looks = (watch.Changed() ? 1 : 0) | (watch.Changed() ? 2 : 0);
        const pid_t grandchild = fork();
        if (grandchild == 0) {
            _exit((watch.Changed() ? 1 : 0) | (watch.Changed() ? 2 : 0));
        }
        int status = 0;
        if (grandchild < 0 || waitpid(grandchild, &status, 0) != grandchild || !WIFEXITED(status)) {
            return 0xFF;
        }
        return looks | (WEXITSTATUS(status) << 2) | (watch.Changed() ? 16 : 0);
    };
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        _exit(child_looks());
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    // Child: first look only; grandchild: first look only; the child's own
    // watch is not disturbed by its child.
    EXPECT_EQ(WEXITSTATUS(status), 1 | (1 << 2));
    EXPECT_FALSE(watch.Changed());
}

// The number of this process's descriptor open on `path`; -1 when none is.
int DescriptorOn(const std::string &path) {
    const std::string wanted = fs::canonical(path).string();
    for (const fs::directory_entry &entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (fs::read_symlink(entry.path(), error).string() == wanted) {
            return std::stoi(entry.path().filename().string());
        }
    }
    return -1;
}

// The watch's descriptor number, once the application has closed it and
// another file of the application's has taken it: that file is neither
// polled nor closed, with or without a fork, and the watch opens its own
// again (a change since is seen).
TEST(MountTable, TheWatchTouchesOnlyItsOwnFile) {
    TemporaryDirectory directory;
    const std::string log = (directory.path / "log").string();
    std::ofstream(log) << "log\n";
    for (const bool forked : {false, true}) {
        SCOPED_TRACE(forked ? "in a forked child" : "without a fork");
        winstub::this_machine::MountTableWatch watch(kFixture);
        ASSERT_TRUE(watch.Changed());
        const int number = DescriptorOn(kFixture + "/proc/self/mountinfo");
        ASSERT_GE(number, 0);
        // A daemon's start: its descriptors closed, its log opened in the number.
        auto reopen_as_log = [&] {
            close(number);
            const int opened = open(log.c_str(), O_RDONLY | O_CLOEXEC);
            if (opened < 0 || (opened != number && (dup2(opened, number) != number || close(opened) != 0))) {
                return false;
            }
            return true;
        };
        auto log_is_open_there = [&] {
            struct stat there {};
            struct stat file {};
            return fstat(number, &there) == 0 && stat(log.c_str(), &file) == 0 && there.st_ino == file.st_ino &&
                   there.st_dev == file.st_dev;
        };
        if (!forked) {
            ASSERT_TRUE(reopen_as_log());
            EXPECT_TRUE(watch.Changed());  // its own file is gone: looks anew
            EXPECT_TRUE(log_is_open_there());
            EXPECT_FALSE(watch.Changed());
            EXPECT_NE(DescriptorOn(kFixture + "/proc/self/mountinfo"), -1);
            close(number);
            continue;
        }
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const bool reopened = reopen_as_log();
            const bool first = watch.Changed();
            _exit(reopened && first && log_is_open_there() && !watch.Changed() ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        EXPECT_FALSE(watch.Changed());
    }
}

// What the fixture's volumes are, in table order.
struct Expected {
    std::vector<std::u16string> mount_points;
    dev_t device;
    std::u16string label;
    std::u16string filesystem;  // empty: FAT of a width that only statvfs can tell
    UINT drive_type;
    DWORD flags_set;
    DWORD flags_clear;
};

TEST(DescribeVolumes, FixtureDesktop) {
    const DWORD sensitive = FILE_CASE_SENSITIVE_SEARCH;
    const DWORD read_only = FILE_READ_ONLY_VOLUME;
    const Expected expected[] = {
        {{u"/"}, makedev(8, 2), u"", u"ext4", DRIVE_FIXED, sensitive | FILE_SUPPORTS_HARD_LINKS, read_only},
        // Covered by the later tmpfs at the same place: the table's number.
        {{u"/dev/shm/"}, makedev(0, 22), u"", u"tmpfs", DRIVE_RAMDISK, sensitive, read_only},
        {{u"/boot/efi/"}, makedev(8, 1), u"EFI SYSTEM", u"", DRIVE_FIXED, FILE_UNICODE_ON_DISK, sensitive},
        // A bind mount of a subdirectory is another mount point of the same volume.
        {{u"/home/", u"/srv/data/"}, makedev(254, 0), u"home", u"ext4", DRIVE_FIXED, FILE_VOLUME_QUOTAS, 0},
        {{u"/media/user/USB STICK/"}, makedev(8, 17), u"USB STICK", u"", DRIVE_REMOVABLE, 0, sensitive},
        {{u"/media/user/DVD/"}, makedev(11, 0), u"", u"CDFS", DRIVE_CDROM, read_only, 0},
        {{u"/mnt/server/"}, makedev(0, 40), u"", u"nfs4", DRIVE_REMOTE, sensitive, 0},
        {{u"/home/user/remote/"}, makedev(0, 41), u"", u"fuse.sshfs", DRIVE_REMOTE, sensitive, 0},
        // Two subvolumes of one btrfs on an encrypted device.
        {{u"/data/"}, makedev(0, 60), u"", u"btrfs", DRIVE_FIXED, FILE_VOLUME_IS_COMPRESSED, 0},
        {{u"/snapshots/"}, makedev(0, 61), u"", u"btrfs", DRIVE_FIXED, FILE_VOLUME_IS_COMPRESSED, 0},
        // (0:2000000 does not fit 32 bits.)
        {{u"/tmp/"}, makedev(0, 45), u"", u"tmpfs", DRIVE_RAMDISK, 0, 0},
        {{u"/dev/shm/"}, makedev(0, 46), u"", u"tmpfs", DRIVE_RAMDISK, 0, 0},
        {{u"/var/lib/containers/merged/"}, makedev(0, 48), u"", u"overlay", DRIVE_FIXED, sensitive, 0},
        {{u"/mnt/share/"}, makedev(0, 49), u"", u"cifs", DRIVE_REMOTE, FILE_UNICODE_ON_DISK, sensitive},
        // No probe: the type stays fuseblk.
        {{u"/media/user/WINDOWS/"}, makedev(8, 33), u"", u"fuseblk", DRIVE_FIXED, 0, 0},
        {{u"/media/user/CAMERA/"}, makedev(179, 1), u"CAMERA", u"exFAT", DRIVE_FIXED, FILE_UNICODE_ON_DISK, 0},
        // A FUSE file system of this machine.
        {{u"/home/user/Private/"}, makedev(0, 51), u"", u"fuse.gocryptfs", DRIVE_FIXED, sensitive, 0},
    };
    std::set<std::string> asked;
    // The fixture's device nodes are empty files: the probe finds nothing
    // and the links under dev/disk tell labels and UUIDs.
    const std::vector<Volume> volumes =
        winstub::this_machine::DescribeVolumes(FixtureMounts(), FixtureEnvironment(kFixture, &asked));
    ASSERT_EQ(volumes.size(), std::size(expected));
    for (size_t i = 0; i < volumes.size(); ++i) {
        const Volume &volume = volumes[i];
        const Expected &want = expected[i];
        SCOPED_TRACE(Narrow(want.mount_points[0]));
        EXPECT_EQ(volume.mount_points, want.mount_points);
        EXPECT_EQ(volume.device, want.device);
        EXPECT_EQ(volume.label, want.label);
        EXPECT_EQ(volume.filesystem, want.filesystem);
        EXPECT_EQ(volume.drive_type, want.drive_type);
        EXPECT_EQ(volume.flags & want.flags_set, want.flags_set);
        EXPECT_EQ(volume.flags & want.flags_clear, 0u);
        EXPECT_EQ(volume.network, want.drive_type == DRIVE_REMOTE);
    }
    // Neither a network server nor a FUSE daemon (fuseblk's included) is
    // asked while the table is read.
    for (const char *remote :
         {"/mnt/server", "/home/user/remote", "/mnt/share", "/home/user/Private", "/media/user/WINDOWS"}) {
        EXPECT_EQ(asked.count(remote), 0u) << remote;
    }
    for (const char *local : {"/", "/data"}) {
        EXPECT_EQ(asked.count(local), 1u) << local;
    }
    for (const Volume &volume : volumes) {
        EXPECT_EQ(volume.may_hang, volume.network || volume.fstype.rfind("fuse", 0) == 0) << volume.fstype;
    }
}

TEST(DescribeVolumes, GuidNames) {
    const std::vector<Volume> volumes =
        winstub::this_machine::DescribeVolumes(FixtureMounts(), FixtureEnvironment(kFixture));
    // UUIDs that are GUIDs are the GUID; the second btrfs subvolume shares
    // its file system's UUID and gets a GUID of its own.
    EXPECT_EQ(volumes[0].name, Guid("3f2504e0-4f89-41d3-9a0c-0305e82c3301"));
    EXPECT_EQ(volumes[3].name, Guid("9b1deb4d-3b7d-4bad-9bdd-2b0d7b3dcb6d"));
    EXPECT_EQ(volumes[8].name, Guid("c0ffee00-1234-4abc-8def-0123456789ab"));
    EXPECT_NE(volumes[9].name, volumes[8].name);
    // Derived GUIDs are version 8 and never change for the same file system.
    EXPECT_EQ(volumes[10].name, Guid("d5dfc0f7-770f-8675-9810-58d3a84f14e1"));
    const std::regex derived(
        R"(\\\\\?\\Volume\{[0-9a-f]{8}-[0-9a-f]{4}-8[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}\}\\)");
    std::set<std::u16string> names;
    for (size_t i : {1, 2, 4, 5, 6, 7, 9, 10, 11, 12, 13, 14, 15, 16}) {
        EXPECT_TRUE(std::regex_match(Narrow(volumes[i].name), derived)) << Narrow(volumes[i].name);
    }
    for (const Volume &volume : volumes) {
        names.insert(volume.name);
    }
    EXPECT_EQ(names.size(), volumes.size());
    const std::vector<Volume> again =
        winstub::this_machine::DescribeVolumes(FixtureMounts(), FixtureEnvironment(kFixture));
    for (size_t i = 0; i < volumes.size(); ++i) {
        EXPECT_EQ(again[i].name, volumes[i].name);
    }
}

TEST(DescribeVolumes, ProbedFactsWin) {
    Environment environment = FixtureEnvironment(kFixture);
    const std::map<std::string, DeviceFacts> probed = {
        {"/dev/sda1", {"ESP", "5A1B-2C3D", "vfat", "FAT32"}},
        {"/dev/sdb1", {"STICK", "1234-ABCD", "vfat", "FAT16"}},
        {"/dev/sdc1", {"Windows", "01D9F2C3A4B5C6D7", "ntfs", ""}},
        {"/dev/sda2", {"root", "3F2504E0-4F89-41D3-9A0C-0305E82C3301", "ext4", "1.0"}},
    };
    const std::string root = fs::canonical(kFixture).string();
    environment.probe = [&](const std::string &node) -> std::optional<DeviceFacts> {
        auto facts = probed.find(node.substr(root.size()));
        return facts == probed.end() ? std::nullopt : std::optional<DeviceFacts>(facts->second);
    };
    const std::vector<Volume> volumes = winstub::this_machine::DescribeVolumes(FixtureMounts(), environment);
    const std::map<size_t, std::pair<std::u16string, std::u16string>> expected = {
        {0, {u"root", u"ext4"}}, {2, {u"ESP", u"FAT32"}}, {4, {u"STICK", u"FAT"}}, {14, {u"Windows", u"NTFS"}}};
    for (const auto &[index, label_and_name] : expected) {
        EXPECT_EQ(volumes[index].label, label_and_name.first);
        EXPECT_EQ(volumes[index].filesystem, label_and_name.second);
    }
    // fuseblk takes the probed type; Windows spells the UUID in lower case.
    EXPECT_EQ(volumes[14].fstype, "ntfs");
    EXPECT_EQ(volumes[0].name, Guid("3f2504e0-4f89-41d3-9a0c-0305e82c3301"));
}

TEST(DescribeVolumes, FileOfAPseudoFileSystem) {
    const std::vector<Mount> mounts = FixtureMounts();
    const Volume proc =
        winstub::this_machine::DescribeMount(mounts, mounts[1], makedev(0, 20), FixtureEnvironment(kFixture));
    EXPECT_EQ(proc.filesystem, u"proc");
    EXPECT_EQ(proc.device, makedev(0, 20));
    EXPECT_EQ(proc.drive_type, DRIVE_FIXED);
}

TEST(Text, LinuxNamesRoundTrip) {
    struct Case {
        std::string linux_name;
        std::u16string windows_name;
    };
    const Case cases[] = {
        {"/media/USB STICK", u"/media/USB STICK"},
        {"/m\xc3\xa9t\xc3\xa9o", u"/m\u00e9t\u00e9o"},
        {"\xf0\x9f\x92\xbe", u"\U0001F4BE"},
        // Bytes that are not UTF-8 travel as lone surrogates.
        {"a\xff", u"a\xdcff"},
        {"\xc3", u"\xdcc3"},                                // cut short
        {"\xc0\xaf", u"\xdcc0\xdcaf"},                      // overlong
        {"\xed\xa0\x80", u"\xdced\xdca0\xdc80"},            // an encoded surrogate
        {"\xf4\x90\x80\x80", u"\xdcf4\xdc90\xdc80\xdc80"},  // beyond U+10FFFF
    };
    for (const Case &c : cases) {
        EXPECT_EQ(winstub::this_machine::FromLinux(c.linux_name), c.windows_name) << c.linux_name;
        EXPECT_EQ(winstub::this_machine::ToLinux(c.windows_name), c.linux_name) << c.linux_name;
    }
    EXPECT_EQ(winstub::this_machine::ToLinux(u"a\xd800"), std::nullopt);
    EXPECT_EQ(winstub::this_machine::ToLinux(u"\xdc00"), std::nullopt);
}

// A FAT boot sector (and, with a label, a root directory holding the label)
// for `clusters` clusters of one sector; the rest of the image is a hole.
void WriteFatImage(const std::string &path, bool fat32, uint32_t clusters, const char *label) {
    auto put = [](std::vector<unsigned char> &bytes, size_t at, uint64_t value, int size) {
        for (int i = 0; i < size; ++i) {
            bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
        }
    };
    const uint32_t reserved = fat32 ? 32 : 1;
    const uint32_t root_entries = fat32 ? 0 : 512;
    const uint32_t fat_sectors = ((clusters + 2) * (fat32 ? 4 : 2) + 511) / 512;
    const uint32_t total = reserved + 2 * fat_sectors + root_entries * 32 / 512 + clusters;
    std::vector<unsigned char> boot(512, 0);
    const unsigned char jump[] = {0xEB, 0x3C, 0x90, 'M', 'S', 'W', 'I', 'N', '4', '.', '1'};
    std::copy(std::begin(jump), std::end(jump), boot.begin());
    put(boot, 11, 512, 2);  // bytes per sector
    put(boot, 13, 1, 1);    // sectors per cluster
    put(boot, 14, reserved, 2);
    put(boot, 16, 2, 1);  // FATs
    put(boot, 17, root_entries, 2);
    put(boot, 21, 0xF8, 1);  // fixed disk
    put(boot, 22, fat32 ? 0 : fat_sectors, 2);
    put(boot, 32, total, 4);
    const size_t extended = fat32 ? 64 : 36;
    if (fat32) {
        put(boot, 36, fat_sectors, 4);
        put(boot, 44, 2, 4);  // root directory cluster
        put(boot, 48, 1, 2);  // FSInfo sector
    }
    put(boot, extended + 2, 0x29, 1);  // extended boot signature
    put(boot, extended + 3, 0x1234ABCD, 4);
    std::copy_n("NO NAME    FAT     ", 19, boot.begin() + extended + 7);
    put(boot, 510, 0xAA55, 2);

    std::fstream image(path, std::ios::out | std::ios::binary | std::ios::trunc);
    image.write(reinterpret_cast<const char *>(boot.data()), boot.size());
    if (label) {
        if (fat32) {  // the root directory's cluster chain ends at once
            std::vector<unsigned char> fat(12, 0);
            put(fat, 0, 0x0FFFFFF8, 4);
            put(fat, 4, 0x0FFFFFFF, 4);
            put(fat, 8, 0x0FFFFFFF, 4);
            image.seekp(reserved * 512);
            image.write(reinterpret_cast<const char *>(fat.data()), fat.size());
        }
        std::vector<unsigned char> entry(32, 0);
        std::copy_n(label, 11, entry.begin());
        entry[11] = 0x08;  // volume label
        image.seekp((reserved + 2 * fat_sectors) * 512);
        image.write(reinterpret_cast<const char *>(entry.data()), entry.size());
    }
    image.close();
    fs::resize_file(path, static_cast<uintmax_t>(total) * 512);
}

TEST(ProbeDevice, FatLabelUuidAndWidth) {
    struct Case {
        bool fat32;
        uint32_t clusters;
        const char *label;
        std::string want_label;
        std::string want_version;
    };
    const Case cases[] = {
        {false, 1000, nullptr, "", "FAT12"},
        {false, 5000, "PHOTOS     ", "PHOTOS", "FAT16"},
        {true, 70000, "BIG STICK  ", "BIG STICK", "FAT32"},
    };
    TemporaryDirectory directory;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.want_version);
        const std::string image = (directory.path / "image").string();
        WriteFatImage(image, c.fat32, c.clusters, c.label);
        const std::optional<DeviceFacts> facts = winstub::this_machine::ProbeDevice(image);
        ASSERT_TRUE(facts.has_value());
        EXPECT_EQ(facts->type, "vfat");
        EXPECT_EQ(facts->label, c.want_label);
        EXPECT_EQ(facts->uuid, "1234-ABCD");
        EXPECT_EQ(facts->version, c.want_version);
        // Windows names the width alike from the count of clusters.
        EXPECT_EQ(winstub::this_machine::FileSystemName("vfat", facts->version),
                  winstub::this_machine::FatNameForClusters(c.clusters));
    }
    // Nothing known, and nothing there.
    std::ofstream(directory.path / "zeros") << std::string(4096, '\0');
    EXPECT_EQ(winstub::this_machine::ProbeDevice((directory.path / "zeros").string()), std::nullopt);
    EXPECT_EQ(winstub::this_machine::ProbeDevice((directory.path / "absent").string()), std::nullopt);
}

// A fixture tree under a fresh directory.
struct FixtureTree {
    TemporaryDirectory root;
    void Write(const std::string &relative, const std::string &text) const {
        fs::create_directories((root.path / relative).parent_path());
        std::ofstream(root.path / relative, std::ios::binary) << text;
    }
    void Link(const std::string &relative, const std::string &to) const {
        fs::create_directories((root.path / relative).parent_path());
        fs::create_symlink(to, root.path / relative);
    }
    // A process of `user` in the tree's /proc.
    void Process(const std::string &pid, uid_t user) const {
        Write("proc/" + pid + "/status", "Name:\tdaemon\nUid:\t" + std::to_string(user) + "\t" +
                                             std::to_string(user) + "\t" + std::to_string(user) + "\t" +
                                             std::to_string(user) + "\n");
    }
    std::string Path() const { return root.path.string(); }
};

// The line of a mount table for the real mount that holds `directory`, as
// the fixture's mount `fstype`: the files a daemon of the fixture holds there
// are judged by the kernel's word about them after they are opened.
std::string MountLineFor(const fs::path &directory, const std::string &target, const std::string &fstype,
                         const std::string &source) {
    const std::optional<Place> place = winstub::this_machine::PlaceOfPath(directory.string());
    EXPECT_TRUE(place.has_value());
    if (!place) {
        return "";
    }
    // QEMU's user-mode emulation claims STATX_MNT_ID and reports 0: give such
    // lines ids of their own, as a kernel's table has, so that they are told
    // apart and the machine places files by their device instead.
    static uint64_t unreported = 90;
    const uint64_t id = place->mount_id != 0 ? place->mount_id : unreported++;
    return std::to_string(id) + " 20 " + std::to_string(major(place->device)) + ":" +
           std::to_string(minor(place->device)) + " / " + target + " rw,relatime - " + fstype + " " + source +
           " rw,user_id=0,group_id=0\n";
}

// A FUSE driver that hides its image (fusefat: source "fusefat", an
// anonymous device number) is looked behind through its daemon in /proc: the
// kernel's fdinfo names the connection of its /dev/fuse descriptor; its
// files are opened once and judged by what the kernel says of the open file.
TEST(DescribeVolumes, FuseDriversThatHideTheirImage) {
    FixtureTree tree;
    const fs::path &top = tree.root.path;
    const uid_t user = geteuid();
    const std::string owner = "user_id=" + std::to_string(user);
    fs::create_directories(top / "images");
    const std::string fat32 = (top / "images/fat32.img").string();
    const std::string fat16 = (top / "images/fat16.img").string();
    WriteFatImage(fat32, true, 70000, "BIG STICK  ");
    WriteFatImage(fat16, false, 5000, nullptr);
    // An image on another real mount, which the fixture's table calls a
    // network file system: where this machine has a /dev/shm of its own.
    const fs::path elsewhere = "/dev/shm";
    const std::optional<Place> here = winstub::this_machine::PlaceOfPath(top.string());
    const std::optional<Place> there = winstub::this_machine::PlaceOfPath(elsewhere.string());
    ASSERT_TRUE(here && there);
    const bool has_elsewhere = here->device != there->device;
    TemporaryDirectory remote_directory;
    std::string remote_image;
    if (has_elsewhere) {
        char pattern[] = "/dev/shm/winstub-evil-XXXXXX";
        const int fd = mkstemp(pattern);
        ASSERT_GE(fd, 0);
        close(fd);
        remote_image = pattern;
        WriteFatImage(remote_image, true, 70000, "EVIL       ");
    }
    // Fixture mount IDs above the real ones in the table.
    const uint64_t base = std::max(here->mount_id, there->mount_id) + 100;
    auto id = [&](int offset) { return std::to_string(base + offset); };
    tree.Write("proc/self/mountinfo",
               "20 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n" + MountLineFor(top, "/local", "ext4", "/dev/sdz") +
                   (has_elsewhere ? MountLineFor(elsewhere, "/mnt/remote", "fuse.sshfs", "host:/srv") : "") + id(1) +
                   " 20 0:61 / /media/fat rw,nosuid,nodev,relatime - fuse.fusefat fusefat rw," + owner + ",group_id=0\n" +
                   id(2) + " 20 0:62 / /media/old rw,nosuid,nodev,relatime - fuse.fusefat fusefat rw," + owner +
                   ",group_id=0\n" + id(3) + " 20 0:64 / /media/onnet rw,relatime - fuse.fusefat fusefat rw," + owner +
                   ",group_id=0\n" + id(4) +
                   " 20 0:65 / /media/other rw,relatime - fuse.fusefat fusefat rw,user_id=" + std::to_string(user + 1) +
                   ",group_id=0\n" + id(5) + " 20 7:0 / /media/kernel rw,relatime - vfat /dev/loop0 rw\n");
    // The daemon of 0:61, named by the kernel; its image lies on a local file system.
    tree.Process("100", user);
    tree.Link("proc/100/fd/0", "/dev/null");
    tree.Link("proc/100/fd/3", "/dev/fuse");
    tree.Write("proc/100/fdinfo/3", "pos:\t0\nflags:\t0100002\nmnt_id:\t23\nino:\t88\nfuse_connection:\t61\n");
    tree.Link("proc/100/fd/4", fat32);
    // The daemon of 0:62 on a kernel that does not name connections, its
    // command line naming the mount directory: not taken for the daemon.
    tree.Process("200", user);
    tree.Link("proc/200/fd/3", "/dev/fuse");
    tree.Write("proc/200/fdinfo/3", "pos:\t0\nflags:\t0100002\nmnt_id:\t23\nino:\t88\n");
    tree.Link("proc/200/fd/5", fat16);
    tree.Write("proc/200/cmdline", std::string("fusefat\0-o\0rw+\0fat16.img\0/media/old\0", 36));
    // The daemon of 0:64 holds an image on the file system that may hang,
    // though its fdinfo, read before the descriptor could change, names a
    // local mount: the file opened is the one judged, and it is not probed.
    tree.Process("300", user);
    tree.Link("proc/300/fd/3", "/dev/fuse");
    tree.Write("proc/300/fdinfo/3", "fuse_connection:\t64\n");
    tree.Link("proc/300/fd/4", has_elsewhere ? remote_image : "/nonexistent");
    tree.Write("proc/300/fdinfo/4", "mnt_id:\t" + std::to_string(here->mount_id) + "\n");
    // 0:65 was mounted by another user, whose process holds a FAT image: not
    // looked behind. Nor is a process of another user that holds 0:64's connection.
    tree.Process("400", user + 1);
    tree.Link("proc/400/fd/3", "/dev/fuse");
    tree.Write("proc/400/fdinfo/3", "fuse_connection:\t65\n");
    tree.Link("proc/400/fd/4", fat32);
    tree.Process("50", user + 1);
    tree.Link("proc/50/fd/3", "/dev/fuse");
    tree.Write("proc/50/fdinfo/3", "fuse_connection:\t64\n");
    tree.Link("proc/50/fd/4", fat32);
    // The kernel's vfat on a loop device of the same image.
    tree.Write("sys/dev/block/7:0/uevent", "MAJOR=7\nMINOR=0\nDEVNAME=loop0\n");
    tree.Write("sys/dev/block/7:0/loop/backing_file", fat32 + "\n");
    tree.Link("dev/loop0", "../images/fat32.img");

    Environment environment;
    environment.root = tree.Path();
    environment.user = user;
    // The loop driver places its image on the local file system of the tree.
    environment.loop_backing = [device = here->device](dev_t) { return std::optional<dev_t>(device); };
    environment.place = [](const std::string &path) -> std::optional<Place> {
        if (path == "/media/kernel") {
            return Place{false, 0, makedev(7, 0)};
        }
        return path == "/" ? std::optional<Place>(Place{true, 20, makedev(8, 2)}) : std::nullopt;
    };
    const std::vector<Mount> mounts = FixtureMounts(tree.Path());
    const std::vector<Volume> volumes = winstub::this_machine::DescribeVolumes(mounts, environment);
    if (has_elsewhere) {
        fs::remove(remote_image);
    }
    auto at = [&](const std::u16string &point) -> const Volume & {
        for (const Volume &volume : volumes) {
            if (volume.mount_points[0] == point) {
                return volume;
            }
        }
        ADD_FAILURE() << Narrow(point);
        return volumes[0];
    };
    const Volume &fat = at(u"/media/fat/");
    EXPECT_EQ(fat.fstype, "vfat");
    EXPECT_EQ(fat.filesystem, u"FAT32");
    EXPECT_EQ(fat.label, u"BIG STICK");
    EXPECT_EQ(fat.drive_type, DRIVE_FIXED);
    EXPECT_EQ(fat.flags, winstub::this_machine::FileSystemFlags("vfat", "rw"));
    EXPECT_TRUE(fat.may_hang);  // still a FUSE daemon's
    EXPECT_EQ(fat.device, makedev(0, 61));
    for (const char16_t *hidden : {u"/media/old/", u"/media/onnet/", u"/media/other/"}) {
        const Volume &volume = at(hidden);
        EXPECT_EQ(volume.filesystem, u"fuse.fusefat") << Narrow(hidden);
        EXPECT_EQ(volume.label, u"") << Narrow(hidden);
        EXPECT_EQ(volume.drive_type, DRIVE_FIXED) << Narrow(hidden);
    }
    // The same image has the same GUID whichever driver mounts it (here both
    // at once, so the later one is derived again with its device number).
    const Volume &kernel = at(u"/media/kernel/");
    EXPECT_EQ(kernel.filesystem, u"FAT32");
    EXPECT_EQ(kernel.label, u"BIG STICK");
    EXPECT_FALSE(kernel.may_hang);
    std::vector<Mount> alone;
    for (const Mount &mount : mounts) {
        if (mount.fstype != "fuse.fusefat") {
            alone.push_back(mount);
        }
    }
    const std::vector<Volume> kernel_alone = winstub::this_machine::DescribeVolumes(alone, environment);
    EXPECT_EQ(kernel_alone.back().name, fat.name);
}

// What cannot be asked without asking a FUSE daemon is described from the
// table: a mount directory that the path walk reaches through a FUSE file
// system, or that one covers, and a loop device whose image lies on one.
// Nor does a FUSE mount's source text (fsname=, any user's to choose) name a
// device.
TEST(DescribeVolumes, WhatOnlySlowFileSystemsCouldTell) {
    FixtureTree tree;
    tree.Write("proc/self/mountinfo",
               "20 1 0:20 / / rw - tmpfs tmpfs rw\n"
               "30 20 0:70 / /mnt/fuse rw - fuse.stalling stalling rw,user_id=0,group_id=0\n"
               "31 30 0:71 / /mnt/fuse/dir rw - tmpfs tmpfs rw\n"
               "32 31 0:72 / /mnt/fuse/dir/deeper rw - tmpfs tmpfs rw\n"
               "33 20 7:0 / /mnt/image rw - ext4 /dev/loop0 rw\n"
               "34 20 7:1 / /mnt/local-image rw - ext4 /dev/loop1 rw\n"
               "35 20 0:73 / /mnt/user rw - fuse.stalling /dev/loop1 rw,user_id=65534,group_id=65534\n"
               "36 20 0:74 / /mnt/covered rw - tmpfs tmpfs rw\n"
               "37 20 0:75 / /mnt/covered rw - fuse.sshfs host:/srv rw,user_id=0,group_id=0\n"
               "38 20 7:2 / /mnt/nested rw - ext4 /dev/loop2 rw\n"
               // Loop devices whose sysfs text misleads: the file system of
               // the image lazily unmounted (named from its own root), a
               // newline in the name, a name too long to read.
               "39 20 7:3 / /mnt/lazy rw - ext4 /dev/loop3 rw\n"
               "40 20 7:4 / /mnt/newline rw - ext4 /dev/loop4 rw\n"
               "41 20 7:5 / /mnt/long rw - ext4 /dev/loop5 rw\n"
               // A tmpfs at d/a/b, then a FUSE file system mounted over d/a:
               // the tmpfs's parent is still d's, but the walk crosses the FUSE root.
               "42 20 0:76 / /mnt/d rw - tmpfs tmpfs rw\n"
               "43 42 0:77 / /mnt/d/a/b rw - tmpfs tmpfs rw\n"
               "44 42 0:78 / /mnt/d/a rw - fuse.stalling stalling rw,user_id=0,group_id=0\n"
               // Overlays: a lower layer on the FUSE file system; local layers
               // (a comma escaped in a name); layers that cannot be told; an
               // upper layer on the FUSE file system.
               "45 20 0:79 / /mnt/ov ro - overlay overlay ro,lowerdir=/mnt/d/a/x:/srv/low\n"
               "46 20 0:80 / /mnt/ov2 rw - overlay overlay rw,lowerdir=/srv/l\\0541:/srv/l2,upperdir=/srv/u,workdir=/srv/w\n"
               "47 20 0:81 / /mnt/ov3 rw - overlay overlay rw,lowerdir=relative\n"
               "48 20 0:82 / /mnt/ov4 rw - overlay overlay rw,lowerdir=/srv/l,upperdir=/mnt/fuse/u,workdir=/mnt/fuse/w\n"
               // Whose layers are not placed at all.
               "49 20 0:83 / /mnt/union rw - aufs none rw,br:/srv/a=rw\n");
    for (int i : {0, 1, 2, 3, 4, 5}) {
        const std::string number = "7:" + std::to_string(i);
        tree.Write("sys/dev/block/" + number + "/uevent",
                   "MAJOR=7\nMINOR=" + std::to_string(i) + "\nDEVNAME=loop" + std::to_string(i) + "\n");
        tree.Write("sys/class/block/loop" + std::to_string(i) + "/dev", number + "\n");
        tree.Write("dev/loop" + std::to_string(i), "");
    }
    tree.Write("sys/dev/block/7:0/loop/backing_file", "/mnt/fuse/disk.img\n");
    tree.Write("sys/dev/block/7:1/loop/backing_file", "/srv/disk.img\n");
    // On the ext4 that lies on the FUSE file system's image.
    tree.Write("sys/dev/block/7:2/loop/backing_file", "/mnt/image/inner.img\n");
    tree.Write("sys/dev/block/7:3/loop/backing_file", "/disk.img\n");
    tree.Write("sys/dev/block/7:4/loop/backing_file", "/mnt/fuse\nx/disk.img\n");
    tree.Write("sys/dev/block/7:5/loop/offset", "0\n");

    std::set<std::string> asked;
    std::set<std::string> probed;
    Environment environment;
    environment.root = tree.Path();
    environment.user = 0;
    const std::map<std::string, Place> places = {{"/", {true, 20, makedev(0, 20)}},
                                                 {"/mnt/local-image", {true, 34, makedev(7, 1)}},
                                                 {"/mnt/d", {true, 42, makedev(0, 76)}},
                                                 {"/mnt/ov2", {true, 46, makedev(0, 80)}}};
    // What the loop driver says of each backing file's file system; 7:3's
    // is no longer in the table, 7:5's cannot be asked.
    const std::map<dev_t, dev_t> backing = {{makedev(7, 0), makedev(0, 70)}, {makedev(7, 1), makedev(0, 20)},
                                            {makedev(7, 2), makedev(7, 0)},  {makedev(7, 3), makedev(0, 99)},
                                            {makedev(7, 4), makedev(0, 70)}};
    std::set<dev_t> loops_asked;
    environment.loop_backing = [&](dev_t loop) -> std::optional<dev_t> {
        loops_asked.insert(loop);
        auto found = backing.find(loop);
        return found == backing.end() ? std::nullopt : std::optional<dev_t>(found->second);
    };
    environment.place = [&](const std::string &path) -> std::optional<Place> {
        asked.insert(path);
        auto place = places.find(path);
        return place == places.end() ? std::nullopt : std::optional<Place>(place->second);
    };
    const std::string root = fs::canonical(tree.root.path).string();
    environment.probe = [&](const std::string &node) -> std::optional<DeviceFacts> {
        probed.insert(node.substr(root.size()));
        return DeviceFacts{"DISK", "0f5e1c2a-7b3d-4e8f-9a10-2b3c4d5e6f70", "ext4", "1.0"};
    };
    const std::vector<Volume> volumes =
        winstub::this_machine::DescribeVolumes(FixtureMounts(tree.Path()), environment);
    ASSERT_EQ(volumes.size(), 21u);
    struct Case {
        std::u16string mount_point;
        dev_t device;
        bool may_hang;
        std::u16string filesystem;
        std::u16string label;
    };
    const Case cases[] = {
        {u"/", makedev(0, 20), false, u"tmpfs", u""},
        {u"/mnt/fuse/", makedev(0, 70), true, u"fuse.stalling", u""},
        {u"/mnt/fuse/dir/", makedev(0, 71), true, u"tmpfs", u""},
        {u"/mnt/fuse/dir/deeper/", makedev(0, 72), true, u"tmpfs", u""},
        {u"/mnt/image/", makedev(7, 0), true, u"ext4", u""},
        {u"/mnt/local-image/", makedev(7, 1), false, u"ext4", u"DISK"},
        {u"/mnt/user/", makedev(0, 73), true, u"fuse.stalling", u""},
        {u"/mnt/covered/", makedev(0, 74), true, u"tmpfs", u""},
        {u"/mnt/covered/", makedev(0, 75), true, u"fuse.sshfs", u""},
        {u"/mnt/nested/", makedev(7, 2), true, u"ext4", u""},
        {u"/mnt/lazy/", makedev(7, 3), true, u"ext4", u""},
        {u"/mnt/newline/", makedev(7, 4), true, u"ext4", u""},
        {u"/mnt/long/", makedev(7, 5), true, u"ext4", u""},
        {u"/mnt/d/", makedev(0, 76), false, u"tmpfs", u""},
        {u"/mnt/d/a/b/", makedev(0, 77), true, u"tmpfs", u""},
        {u"/mnt/d/a/", makedev(0, 78), true, u"fuse.stalling", u""},
        {u"/mnt/ov/", makedev(0, 79), true, u"overlay", u""},
        {u"/mnt/ov2/", makedev(0, 80), false, u"overlay", u""},
        {u"/mnt/ov3/", makedev(0, 81), true, u"overlay", u""},
        {u"/mnt/ov4/", makedev(0, 82), true, u"overlay", u""},
        {u"/mnt/union/", makedev(0, 83), true, u"aufs", u""},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case &c = cases[i];
        const Volume &volume = volumes[i];
        SCOPED_TRACE(Narrow(c.mount_point));
        EXPECT_EQ(volume.mount_points[0], c.mount_point);
        EXPECT_EQ(volume.device, c.device);
        EXPECT_EQ(volume.may_hang, c.may_hang);
        EXPECT_EQ(volume.filesystem, c.filesystem);
        EXPECT_EQ(volume.label, c.label);
        EXPECT_EQ(volume.shown_at.has_value(), !c.may_hang);
    }
    EXPECT_EQ(asked, (std::set<std::string>{"/", "/mnt/local-image", "/mnt/d", "/mnt/ov2"}));
    // A backing file's name that leads through a file system that may hang
    // settles it without asking the loop driver (the question would wait).
    EXPECT_EQ(loops_asked, (std::set<dev_t>{makedev(7, 1), makedev(7, 3), makedev(7, 4), makedev(7, 5)}));
    // Only the devices that read from local file systems are probed; the
    // user's FUSE mount is not the disk its source names.
    EXPECT_EQ(probed, (std::set<std::string>{"/dev/loop1"}));
    EXPECT_NE(volumes[6].name, volumes[5].name);
    EXPECT_EQ(volumes[5].name, Guid("0f5e1c2a-7b3d-4e8f-9a10-2b3c4d5e6f70"));
}

// Holds queries of one path until released. Queries of file systems that
// may hang run in helper processes, so the gate and the count of queries
// are files that every process sees.
struct Gate {
    fs::path file;
    void Open() { std::ofstream(file) << "open"; }
    // Waits until opened, or at most a minute: no helper is left for long.
    void Wait() const {
        for (int i = 0; i < 60000 && !fs::exists(file); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
};

// Counts the queries of each path, in whichever process they run.
struct QueryLog {
    fs::path file;
    void Add(const std::string &path) const {
        const int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        const std::string line = path + "\n";
        if (fd >= 0) {
            EXPECT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
            close(fd);
        }
    }
    int Count(const std::string &path) const {
        std::ifstream log(file);
        int count = 0;
        for (std::string line; std::getline(log, line);) {
            count += line == path;
        }
        return count;
    }
};

struct Information {
    std::u16string label;
    DWORD serial = 0;
    DWORD max_component = 0;
    DWORD flags = 0;
    std::u16string filesystem;
};

// The Windows functions on this machine over a copy of the fixture tree,
// whose file-system queries are answered from a table.
class ThisMachineOnFixture : public ::testing::Test {
protected:
    static constexpr std::chrono::milliseconds kTimeout{200};

    void SetUp() override {
        fs::copy(kFixture, root_.path, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        winstub::this_machine::Options options;
        options.environment = FixtureEnvironment(root_.path.string());
        options.network_timeout = kTimeout;
        options.helper = winstub::this_machine::Options::Helper::kForkAskingQuery;
        options.query = [answers = Answers(), gate = gate_, log = log_](const std::string &path) {
            log.Add(path);
            if (path == "/mnt/server") {
                gate.Wait();
            }
            auto answer = answers.find(path);
            if (answer != answers.end()) {
                return answer->second;
            }
            FileSystemAnswer missing;
            missing.error = path == "/home/user/remote" ? ENOTCONN : ENOENT;
            return missing;
        };
        options.statistics = options.query;
        winstub::Activate(std::make_shared<winstub::ThisMachine>(options));
    }

    void TearDown() override {
        gate_.Open();
        winstub::Reset();
    }

    static FileSystemAnswer Answer(Place place, unsigned long blocks, unsigned long namemax = 255,
                                   unsigned long flags = 0) {
        FileSystemAnswer answer;
        answer.place = place;
        answer.stats.f_frsize = 4096;
        answer.stats.f_blocks = blocks;
        answer.stats.f_bfree = blocks / 2;
        answer.stats.f_bavail = blocks / 4;
        answer.stats.f_namemax = namemax;
        answer.stats.f_flag = flags;
        return answer;
    }

    static std::map<std::string, FileSystemAnswer> Answers() {
        return {
            {"/", Answer({true, 20, makedev(8, 2)}, 1000)},
            {"/boot/efi", Answer({true, 25, makedev(8, 1)}, 70000, 1530)},
            {"/media/user/USB STICK", Answer({true, 27, makedev(8, 17)}, 5000, 1530, ST_RDONLY)},
            {"/dev/shm", Answer({true, 36, makedev(0, 46)}, 300)},
            {"/mnt/server", Answer({true, 29, makedev(0, 40)}, 123456)},
            {"/home/user", Answer({true, 26, makedev(254, 0)}, 77)},
            // Mounts of no volume.
            {"/proc", Answer({true, 21, makedev(0, 20), true}, 0)},
            {"/huge", Answer({true, 34, makedev(0, 2000000), true}, 10)},
            // Mount points spelt otherwise, as the kernel resolves them: with
            // "." and "..", through symbolic links (/srv/efi to /boot/efi,
            // /srv/media to /media/user).
            {"/boot/../boot/efi/.", Answer({true, 25, makedev(8, 1), true}, 70000, 1530)},
            {"/srv/efi", Answer({true, 25, makedev(8, 1), true}, 70000, 1530)},
            {"/srv/media/USB STICK", Answer({true, 27, makedev(8, 17), true}, 5000, 1530, ST_RDONLY)},
        };
    }

    int Queries(const std::string &path) {
        return log_.Count(path);
    }

    static std::vector<std::u16string> Enumerate() { return EnumerateVolumes(); }

    static DWORD Ask(const std::u16string &root, Information &out) {
        WCHAR label[kName] = u"";
        WCHAR filesystem[kName] = u"";
        if (!GetVolumeInformationW(root.c_str(), label, kName, &out.serial, &out.max_component, &out.flags, filesystem,
                                   kName)) {
            return GetLastError();
        }
        out.label = label;
        out.filesystem = filesystem;
        return ERROR_SUCCESS;
    }

    std::vector<Volume> Described() {
        return winstub::this_machine::DescribeVolumes(FixtureMounts(root_.path.string()),
                                                      FixtureEnvironment(root_.path.string()));
    }

    TemporaryDirectory root_;
    TemporaryDirectory state_;
    Gate gate_{state_.path / "gate"};
    QueryLog log_{state_.path / "queries"};
};

TEST_F(ThisMachineOnFixture, EnumerationFollowsTheMountTable) {
    std::vector<std::u16string> names;
    for (const Volume &volume : Described()) {
        names.push_back(volume.name);
    }
    EXPECT_EQ(Enumerate(), names);

    // A search walks the table as it was when it started; a new one reads it again.
    WCHAR buffer[kName];
    HANDLE search = FindFirstVolumeW(buffer, kName);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    std::ofstream(root_.path / "proc/self/mountinfo", std::ios::trunc)
        << "20 1 8:2 / / rw,relatime - ext4 /dev/sda2 rw\n";
    EXPECT_TRUE(FindNextVolumeW(search, buffer, kName));
    EXPECT_EQ(std::u16string(buffer), names[1]);
    EXPECT_TRUE(FindVolumeClose(search));
    EXPECT_EQ(Enumerate(), std::vector<std::u16string>{names[0]});
}

TEST_F(ThisMachineOnFixture, PathNames) {
    const std::vector<Volume> volumes = Described();
    WCHAR buffer[kName];
    DWORD returned = 0;
    ASSERT_TRUE(GetVolumePathNamesForVolumeNameW(volumes[3].name.c_str(), buffer, kName, &returned));
    EXPECT_EQ(std::u16string(buffer, returned), std::u16string(u"/home/\0/srv/data/\0\0", 19));
    EXPECT_FALSE(GetVolumePathNamesForVolumeNameW(volumes[3].name.c_str(), buffer, 5, &returned));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(returned, 19u);
    // A mount point is no volume name at all, as on Windows.
    const std::pair<std::u16string, DWORD> cases[] = {{Guid("00000000-0000-0000-0000-000000000000"), ERROR_FILE_NOT_FOUND},
                                                      {u"/home/", ERROR_INVALID_NAME},
                                                      {u"", ERROR_INVALID_NAME}};
    for (const auto &[name, code] : cases) {
        EXPECT_FALSE(GetVolumePathNamesForVolumeNameW(name.c_str(), buffer, kName, &returned));
        EXPECT_EQ(GetLastError(), code);
    }
}

TEST_F(ThisMachineOnFixture, VolumeInformation) {
    const std::vector<Volume> volumes = Described();
    const DWORD fat = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
    struct Case {
        std::u16string root;
        std::u16string label;
        DWORD serial;
        DWORD max_component;
        std::u16string filesystem;
        DWORD flags;  // 0: not checked
    };
    const Case cases[] = {
        {volumes[0].name, u"", 0x802, 255, u"ext4", 0},
        {u"/", u"", 0x802, 255, u"ext4", 0},
        // A FAT whose width is not probed: by the count of clusters.
        {u"/boot/efi/", u"EFI SYSTEM", 0x801, 1530, u"FAT32", fat},
        {u"/boot/efi\\", u"EFI SYSTEM", 0x801, 1530, u"FAT32", fat},
        {u"/boot/../boot/efi/./", u"EFI SYSTEM", 0x801, 1530, u"FAT32", fat},
        {u"/srv/efi/", u"EFI SYSTEM", 0x801, 1530, u"FAT32", fat},
        {u"/srv/media/USB STICK\\", u"USB STICK", 0x811, 1530, u"FAT", fat | FILE_READ_ONLY_VOLUME},
        {u"/media/user/USB STICK/\\", u"USB STICK", 0x811, 1530, u"FAT", fat | FILE_READ_ONLY_VOLUME},
        // The mount on top answers for a mount point.
        {u"/dev/shm/", u"", makedev(0, 46), 255, u"tmpfs", 0},
        // A covered file system answers what it knows without its statistics.
        {volumes[1].name, u"", makedev(0, 22), NAME_MAX, u"tmpfs", 0},
        {volumes[6].name, u"", makedev(0, 40), 255, u"nfs4", 0},
    };
    gate_.Open();
    for (const Case &c : cases) {
        SCOPED_TRACE(Narrow(c.root));
        Information information;
        ASSERT_EQ(Ask(c.root, information), ERROR_SUCCESS);
        EXPECT_EQ(information.label, c.label);
        EXPECT_EQ(information.serial, c.serial);
        EXPECT_EQ(information.max_component, c.max_component);
        EXPECT_EQ(information.filesystem, c.filesystem);
        if (c.flags) {
            EXPECT_EQ(information.flags, c.flags);
        }
    }
    // NULL and "\\" name the current drive's root on Windows: here the volume
    // of the current directory, which no mount of the fixture holds but "/".
    Information root;
    ASSERT_EQ(Ask(u"/", root), ERROR_SUCCESS);
    for (LPCWSTR current : {static_cast<LPCWSTR>(nullptr), static_cast<LPCWSTR>(u"\\")}) {
        DWORD serial = 0;
        WCHAR filesystem[kName] = u"";
        EXPECT_TRUE(GetVolumeInformationW(current, nullptr, 0, &serial, nullptr, nullptr, filesystem, kName));
        EXPECT_EQ(serial, root.serial);
        EXPECT_EQ(std::u16string(filesystem), root.filesystem);
        EXPECT_EQ(GetDriveTypeW(current), DRIVE_FIXED);
    }
    const std::pair<std::u16string, DWORD> failures[] = {
        // Missing, in a directory that exists (also under a mount point), or
        // below one that does not.
        {u"/nowhere/", ERROR_FILE_NOT_FOUND},
        {u"/boot/efi/nowhere/", ERROR_FILE_NOT_FOUND},
        {u"/nowhere/deeper/", ERROR_PATH_NOT_FOUND},
        // A root ends with its separator, as on Windows.
        {u"/boot/efi", ERROR_INVALID_NAME},
        {u"/home/user", ERROR_INVALID_NAME},
        {u"/home/user/", ERROR_DIR_NOT_ROOT},
        {u"/home/user\\", ERROR_DIR_NOT_ROOT},
        {u"/proc/", ERROR_PATH_NOT_FOUND},  // no volume
        {u"/huge/", ERROR_PATH_NOT_FOUND},  // its device number does not fit
        // Relative paths and drive letters are no roots here.
        {u"boot/efi/", ERROR_PATH_NOT_FOUND},
        {u"C:\\", ERROR_PATH_NOT_FOUND},
        {u"", ERROR_PATH_NOT_FOUND},
        {Guid("00000000-0000-0000-0000-000000000000"), ERROR_PATH_NOT_FOUND},
        {u"/home/user/remote/", ERROR_NOT_READY},  // ENOTCONN
    };
    for (const auto &[root, code] : failures) {
        Information information;
        EXPECT_EQ(Ask(root, information), code) << Narrow(root);
    }
}

TEST_F(ThisMachineOnFixture, DriveTypes) {
    const std::vector<Volume> volumes = Described();
    const std::pair<std::u16string, UINT> cases[] = {
        {u"/", DRIVE_FIXED},
        {volumes[4].name, DRIVE_REMOVABLE},
        {u"/media/user/DVD/", DRIVE_CDROM},
        {u"/mnt/share", DRIVE_REMOTE},
        {u"/tmp/\\", DRIVE_RAMDISK},
        {u"/var/lib/containers/merged/", DRIVE_FIXED},
        {u"/nowhere/", DRIVE_NO_ROOT_DIR},
        {u"/proc/", DRIVE_NO_ROOT_DIR},
    };
    for (const auto &[root, type] : cases) {
        EXPECT_EQ(GetDriveTypeW(root.c_str()), type) << Narrow(root);
    }
}

TEST_F(ThisMachineOnFixture, DiskFreeSpace) {
    const std::vector<Volume> volumes = Described();
    struct Case {
        std::u16string directory;
        DWORD code;
        uint64_t blocks;
    };
    const Case cases[] = {
        {volumes[0].name, ERROR_SUCCESS, 1000},
        {u"/", ERROR_SUCCESS, 1000},
        // Any directory, as on Windows.
        {u"/home/user\\", ERROR_SUCCESS, 77},
        {u"/nowhere", ERROR_PATH_NOT_FOUND, 0},
        {Guid("00000000-0000-0000-0000-000000000000"), ERROR_PATH_NOT_FOUND, 0},
        // Covered at its only mount point: no statistics to tell.
        {volumes[1].name, ERROR_NOT_READY, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(Narrow(c.directory));
        ULARGE_INTEGER available{}, total{}, free{};
        SetLastError(0);
        EXPECT_EQ(GetDiskFreeSpaceExW(c.directory.c_str(), &available, &total, &free) != 0, c.code == 0);
        EXPECT_EQ(GetLastError(), c.code);
        EXPECT_EQ(total.QuadPart, c.blocks * 4096);
        EXPECT_EQ(free.QuadPart, c.blocks / 2 * 4096);
        EXPECT_EQ(available.QuadPart, c.blocks / 4 * 4096);
    }
    // "\\" is the current drive's root, as NULL is: the current directory is
    // asked about (which the fixture does not know).
    const std::string here = *winstub::this_machine::AbsolutePath(".");
    ULARGE_INTEGER total{};
    EXPECT_FALSE(GetDiskFreeSpaceExW(u"\\", nullptr, &total, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_GT(log_.Count(here), 0);
}

TEST_F(ThisMachineOnFixture, NetworkFileSystemThatDoesNotAnswer) {
    using Clock = std::chrono::steady_clock;
    const std::vector<Volume> volumes = Described();
    const std::u16string server = volumes[6].name;
    Information information;
    // The first query waits the time-out.
    Clock::time_point start = Clock::now();
    EXPECT_EQ(Ask(server, information), ERROR_SEM_TIMEOUT);
    EXPECT_GE(Clock::now() - start, kTimeout);
    // While it has not come back, further queries of the file system fail at
    // once, whichever function asks, and start no other query.
    start = Clock::now();
    ULARGE_INTEGER total{};
    EXPECT_FALSE(GetDiskFreeSpaceExW(server.c_str(), nullptr, &total, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_SEM_TIMEOUT);
    EXPECT_EQ(Ask(u"/mnt/server/", information), ERROR_SEM_TIMEOUT);
    EXPECT_LT(Clock::now() - start, kTimeout);
    EXPECT_EQ(Queries("/mnt/server"), 1);
    // Local volumes answer meanwhile.
    EXPECT_EQ(Ask(u"/", information), ERROR_SUCCESS);
    // Once the server answers, so does the volume: the released query takes
    // a moment to come back, and calls fail at once until it has; a busy
    // machine must not make that a failure.
    gate_.Open();
    DWORD answer = ERROR_SEM_TIMEOUT;
    for (int attempt = 0; attempt < 1000 && answer == ERROR_SEM_TIMEOUT; ++attempt) {
        answer = Ask(server, information);
        if (answer == ERROR_SEM_TIMEOUT) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    EXPECT_EQ(answer, ERROR_SUCCESS);
    EXPECT_EQ(information.serial, makedev(0, 40));
}

TEST_F(ThisMachineOnFixture, HandlesThatAreNoOpenFiles) {
    int closed = open("/", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(closed, 0);
    close(closed);
    std::vector<intptr_t> values = {-1, closed};
    if (sizeof(intptr_t) > sizeof(int)) {
        values.push_back(static_cast<intptr_t>(static_cast<int64_t>(INT_MAX) + 1));  // not a descriptor
    }
    for (intptr_t value : values) {
        DWORD serial = 0;
        SetLastError(0);
        EXPECT_FALSE(GetVolumeInformationByHandleW(reinterpret_cast<HANDLE>(value), nullptr, 0, &serial, nullptr,
                                                   nullptr, nullptr, 0));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE) << value;
    }
}

// A query that never returns does not keep the process from ending cleanly.
TEST(ThisMachineDeathTest, ExitWhileAServerDoesNotAnswer) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            winstub::this_machine::Options options;
            options.environment = FixtureEnvironment(kFixture);
            options.network_timeout = std::chrono::milliseconds(10);
            options.helper = winstub::this_machine::Options::Helper::kForkAskingQuery;
            // The query runs in the helper process: it waits, as for a server
            // that never answers, until this process has ended (at most a minute).
            const pid_t process = getpid();
            options.query = [process](const std::string &) -> FileSystemAnswer {
                for (int i = 0; i < 6000 && kill(process, 0) == 0; ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
                return FileSystemAnswer();
            };
            winstub::Activate(std::make_shared<winstub::ThisMachine>(options));
            DWORD serial = 0;
            const bool answered =
                GetVolumeInformationW(u"/mnt/server/", nullptr, 0, &serial, nullptr, nullptr, nullptr, 0);
            const bool timed_out = !answered && GetLastError() == ERROR_SEM_TIMEOUT;
            winstub::Reset();  // the machine goes; its helper thread stays blocked
            std::exit(timed_out ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// Which file system holds a directory, from its path and the mount table
// alone: nothing may be asked of a file system that may not answer.
TEST(SlowQueries, FileSystemOfPathText) {
    auto mount = [](const std::string &target, dev_t device) {
        Mount line;
        line.target = target;
        line.device = device;
        return line;
    };
    const std::vector<Mount> mounts = {mount("/", 1), mount("/mnt", 2), mount("/mnt/fuse", 3), mount("/mnt/fuse", 4),
                                       mount("/mnt/fusebox", 5)};
    const std::pair<std::string, dev_t> cases[] = {
        {"/", 1},
        {"/etc/passwd", 1},
        {"/mnt", 2},
        {"/mnt/other", 2},
        // The last mounted at a directory is on top.
        {"/mnt/fuse", 4},
        {"/mnt/fuse/a/b", 4},
        {"/mnt//fuse/./a/", 4},
        {"/mnt/fuse/..", 2},
        {"/mnt/fuse/a/../../fusebox", 5},
        // A mount directory is no prefix of a longer name.
        {"/mnt/fusebox/x", 5},
        {"/mnt/fus", 2},
        {"/../../mnt/fuse", 4},
    };
    for (const auto &[path, device] : cases) {
        EXPECT_EQ(winstub::this_machine::FileSystemOfPathText(mounts, path), std::optional<dev_t>(device)) << path;
    }
    EXPECT_EQ(winstub::this_machine::FileSystemOfPathText({}, "/mnt"), std::nullopt);
    // Relative paths go from the current directory.
    char directory[PATH_MAX];
    ASSERT_TRUE(getcwd(directory, sizeof directory));
    EXPECT_EQ(winstub::this_machine::AbsolutePath("."), std::string(directory) + "/.");
    EXPECT_EQ(winstub::this_machine::AbsolutePath("/mnt/x"), "/mnt/x");
}

// On the machine the test runs on, whatever its mounts: a file's handle and
// the volume that holds its directory give the same file system.
TEST(ThisMachine, HandleAndRootAgree) {
    winstub::UseThisMachine();
    TemporaryDirectory directory;
    const std::string file = (directory.path / "file").string();
    std::ofstream(file) << "x";
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    struct stat status {};
    ASSERT_EQ(fstat(fd, &status), 0);
    WCHAR filesystem[kName] = u"";
    DWORD serial = 0;
    ASSERT_TRUE(GetVolumeInformationByHandleW(reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd)), nullptr, 0, &serial,
                                              nullptr, nullptr, filesystem, kName));
    close(fd);
    EXPECT_EQ(serial, status.st_dev);

    struct stat holder {};
    ASSERT_EQ(stat(directory.path.c_str(), &holder), 0);
    bool found = false;
    WCHAR name[kName];
    HANDLE search = FindFirstVolumeW(name, kName);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    do {
        WCHAR volume_filesystem[kName] = u"";
        DWORD volume_serial = 0;
        if (GetVolumeInformationW(name, nullptr, 0, &volume_serial, nullptr, nullptr, volume_filesystem, kName) &&
            volume_serial == holder.st_dev) {
            found = true;
            EXPECT_EQ(std::u16string(volume_filesystem), std::u16string(filesystem));
        }
    } while (FindNextVolumeW(search, name, kName));
    FindVolumeClose(search);
    EXPECT_TRUE(found);
    winstub::Reset();
}

}  // namespace

// The Windows functions of libwinstub on the simulated machine, called as the
// module calls them.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "enumerate.h"
#include "winstub/control.h"
#include "winstub/windows.h"

namespace winstub {

bool operator==(const Call &a, const Call &b) {
    return a.function == b.function && a.arguments == b.arguments;
}

std::ostream &operator<<(std::ostream &out, const Call &call) {
    return out << call.function << " with " << call.arguments.size() << " arguments";
}

}  // namespace winstub

namespace {

using winstub::Call;
using winstub::VolumeSpec;

const std::u16string kA = u"\\\\?\\Volume{00000000-0000-0000-0000-00000000000a}\\";
const std::u16string kB = u"\\\\?\\Volume{00000000-0000-0000-0000-00000000000b}\\";
const std::u16string kC = u"\\\\?\\Volume{00000000-0000-0000-0000-00000000000c}\\";
constexpr DWORD kName = MAX_PATH + 1;
constexpr DWORD kUntouched = 0xDEADBEEF;

std::string Narrow(const std::u16string &text) {
    return std::string(text.begin(), text.end());
}

VolumeSpec Volume(const std::u16string &name, std::vector<std::u16string> mount_points = {}) {
    VolumeSpec volume;
    volume.name = name;
    volume.mount_points = std::move(mount_points);
    return volume;
}

// The data volume of these tests.
VolumeSpec Data() {
    VolumeSpec volume = Volume(kB, {u"D:\\", u"C:\\Data\\"});
    volume.label = u"Data";
    volume.serial = 0x8BADF00D;
    volume.max_component = 255;
    volume.flags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
    volume.filesystem = u"NTFS";
    volume.drive_type = DRIVE_FIXED;
    volume.total_bytes = 0x1'0000'0000ull * 3;  // beyond 32 bits
    volume.free_bytes = 12345;
    return volume;
}

class Kernel32 : public ::testing::Test {
protected:
    void SetUp() override { winstub::Reset(); }
    void TearDown() override { winstub::UseSampleMachine(); }

    static std::vector<std::u16string> Enumerate() { return EnumerateVolumes(); }
};

TEST_F(Kernel32, EnumerationHandsOutVolumesInAddOrder) {
    for (const std::u16string &name : {kA, kB, kB, kC, kA}) {
        winstub::AddVolume(Volume(name));
    }
    EXPECT_EQ(Enumerate(), (std::vector<std::u16string>{kA, kB, kB, kC, kA}));
    EXPECT_EQ(winstub::OpenSearches(), 0u);
}

TEST_F(Kernel32, EnumerationStaysAtItsEnd) {
    winstub::AddVolume(Volume(kA));
    WCHAR buffer[kName];
    HANDLE search = FindFirstVolumeW(buffer, kName);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    for (int i = 0; i < 2; ++i) {
        SetLastError(0);
        EXPECT_FALSE(FindNextVolumeW(search, buffer, kName));
        EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    }
    EXPECT_EQ(winstub::OpenSearches(), 1u);
    EXPECT_TRUE(FindVolumeClose(search));
}

TEST_F(Kernel32, EmptyMachineHasNoFirstVolume) {
    WCHAR buffer[kName];
    EXPECT_EQ(FindFirstVolumeW(buffer, kName), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_EQ(winstub::OpenSearches(), 0u);
}

TEST_F(Kernel32, NameMustFitWithItsNul) {
    winstub::AddVolume(Volume(kA));
    winstub::AddVolume(Volume(kB));
    const DWORD length = static_cast<DWORD>(kA.size());
    WCHAR buffer[kName];

    EXPECT_EQ(FindFirstVolumeW(buffer, length), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(winstub::OpenSearches(), 0u);

    HANDLE search = FindFirstVolumeW(buffer, length + 1);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::u16string(buffer), kA);
    EXPECT_FALSE(FindNextVolumeW(search, buffer, length));
    EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
    // The name that did not fit is still the next one.
    EXPECT_TRUE(FindNextVolumeW(search, buffer, length + 1));
    EXPECT_EQ(std::u16string(buffer), kB);
    FindVolumeClose(search);
}

TEST_F(Kernel32, SearchesAreIndependent) {
    winstub::AddVolume(Volume(kA));
    winstub::AddVolume(Volume(kB));
    WCHAR first[kName];
    WCHAR second[kName];
    HANDLE one = FindFirstVolumeW(first, kName);
    HANDLE two = FindFirstVolumeW(second, kName);
    EXPECT_NE(one, two);
    EXPECT_TRUE(FindNextVolumeW(one, first, kName));
    EXPECT_EQ(std::u16string(first), kB);
    EXPECT_EQ(std::u16string(second), kA);
    EXPECT_EQ(winstub::OpenSearches(), 2u);
    EXPECT_TRUE(FindVolumeClose(one));
    EXPECT_TRUE(FindNextVolumeW(two, second, kName));
    EXPECT_EQ(std::u16string(second), kB);
    EXPECT_TRUE(FindVolumeClose(two));
}

TEST_F(Kernel32, HandlesThatAreNotOpenSearchesAreInvalid) {
    winstub::AddVolume(Volume(kA));
    WCHAR buffer[kName];
    HANDLE closed = FindFirstVolumeW(buffer, kName);
    ASSERT_TRUE(FindVolumeClose(closed));
    HANDLE file = reinterpret_cast<HANDLE>(static_cast<intptr_t>(*winstub::OpenHandle(kA)));
    const HANDLE handles[] = {closed, file, INVALID_HANDLE_VALUE, nullptr, reinterpret_cast<HANDLE>(0x1234)};
    for (HANDLE handle : handles) {
        SCOPED_TRACE(reinterpret_cast<intptr_t>(handle));
        SetLastError(0);
        EXPECT_FALSE(FindNextVolumeW(handle, buffer, kName));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_FALSE(FindVolumeClose(handle));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
}

TEST_F(Kernel32, PathNamesArePackedAndSizedOnRequest) {
    struct Case {
        std::vector<std::u16string> mount_points;
        DWORD buffer_length;
        bool succeeds;
        std::u16string written;  // on success
        DWORD returned_length;
    };
    const std::u16string packed(u"D:\\\0C:\\Data\\\0\0", 14);
    const Case cases[] = {
        {{}, 1, true, std::u16string(1, u'\0'), 1},
        {{}, 0, false, u"", 1},
        {{u"D:\\"}, 5, true, std::u16string(u"D:\\\0\0", 5), 5},
        {{u"D:\\"}, 4, false, u"", 5},
        {{u"D:\\", u"C:\\Data\\"}, 5, false, u"", 14},
        {{u"D:\\", u"C:\\Data\\"}, 13, false, u"", 14},
        {{u"D:\\", u"C:\\Data\\"}, 14, true, packed, 14},
        {{u"D:\\", u"C:\\Data\\"}, 300, true, packed, 14},
    };
    winstub::AddVolume(Volume(kA));
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.mount_points.size() << " paths, buffer " << c.buffer_length);
        ASSERT_TRUE(winstub::SetMountPoints(kA, c.mount_points));
        std::u16string buffer(300, u'#');
        DWORD returned = kUntouched;
        SetLastError(0);
        EXPECT_EQ(GetVolumePathNamesForVolumeNameW(kA.c_str(), buffer.data(), c.buffer_length, &returned) != 0,
                  c.succeeds);
        EXPECT_EQ(returned, c.returned_length);
        if (c.succeeds) {
            EXPECT_EQ(buffer.substr(0, c.written.size()), c.written);
        } else {
            EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
        }
    }
}

TEST_F(Kernel32, PathNamesOfAnUnknownVolume) {
    winstub::AddVolume(Data());
    // A name of the volume form that no volume has is not found; a mount
    // point, or a name without its trailing backslash, is no volume name at
    // all, as on Windows.
    const std::pair<std::u16string, DWORD> cases[] = {{kA, ERROR_FILE_NOT_FOUND},
                                                      {u"D:\\", ERROR_INVALID_NAME},
                                                      {kB.substr(0, kB.size() - 1), ERROR_INVALID_NAME},
                                                      {u"", ERROR_INVALID_NAME},
                                                      {u"\\\\?\\Volume{}\\", ERROR_INVALID_NAME},
                                                      {u"\\", ERROR_INVALID_PARAMETER}};
    for (const auto &[name, code] : cases) {
        SCOPED_TRACE(Narrow(name));
        WCHAR buffer[kName];
        DWORD returned = kUntouched;
        EXPECT_FALSE(GetVolumePathNamesForVolumeNameW(name.c_str(), buffer, kName, &returned));
        EXPECT_EQ(GetLastError(), code);
        EXPECT_EQ(returned, kUntouched);
    }
    DWORD returned = kUntouched;
    EXPECT_FALSE(GetVolumePathNamesForVolumeNameW(nullptr, nullptr, 0, &returned));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
}

struct Information {
    std::u16string label;
    DWORD serial = kUntouched;
    DWORD max_component = kUntouched;
    DWORD flags = kUntouched;
    std::u16string filesystem;
    bool operator==(const Information &o) const {
        return label == o.label && serial == o.serial && max_component == o.max_component && flags == o.flags &&
               filesystem == o.filesystem;
    }
};

// GetVolumeInformationW or ...ByHandleW with buffers of the given sizes.
using InformationCall = std::function<BOOL(WCHAR *label, DWORD label_size, DWORD *serial, DWORD *max_component,
                                           DWORD *flags, WCHAR *filesystem, DWORD filesystem_size)>;

BOOL Ask(const InformationCall &call, Information &out, DWORD label_size = kName, DWORD filesystem_size = kName) {
    WCHAR label[kName] = u"";
    WCHAR filesystem[kName] = u"";
    const BOOL result =
        call(label, label_size, &out.serial, &out.max_component, &out.flags, filesystem, filesystem_size);
    out.label = label;
    out.filesystem = filesystem;
    return result;
}

InformationCall ByRoot(const std::u16string &root) {
    return [root](WCHAR *label, DWORD label_size, DWORD *serial, DWORD *max_component, DWORD *flags, WCHAR *filesystem,
                  DWORD filesystem_size) {
        return GetVolumeInformationW(root.c_str(), label, label_size, serial, max_component, flags, filesystem,
                                     filesystem_size);
    };
}

InformationCall ByHandle(int64_t handle) {
    return [handle](WCHAR *label, DWORD label_size, DWORD *serial, DWORD *max_component, DWORD *flags,
                    WCHAR *filesystem, DWORD filesystem_size) {
        return GetVolumeInformationByHandleW(reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle)), label, label_size,
                                             serial, max_component, flags, filesystem, filesystem_size);
    };
}

const Information kDataInformation{u"Data", 0x8BADF00D, 255, FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK, u"NTFS"};

TEST_F(Kernel32, VolumeInformationByNameMountPointOrHandle) {
    winstub::AddVolume(Volume(kA, {u"A:\\"}));
    winstub::AddVolume(Data());
    const InformationCall calls[] = {ByRoot(kB), ByRoot(u"D:\\"), ByRoot(u"C:\\Data\\"),
                                     ByHandle(*winstub::OpenHandle(kB))};
    for (const InformationCall &call : calls) {
        Information information;
        EXPECT_TRUE(Ask(call, information));
        EXPECT_EQ(information, kDataInformation);
    }
}

TEST_F(Kernel32, RootsAreTakenAsWindowsTakesThem) {
    winstub::AddVolume(Data());
    // The current directory is D:\\, the only drive's root. A root must end
    // with its separator; doubled separators go and the drive letter's case
    // does not matter; "\\\\?\\" takes the rest as it is.
    struct Case {
        const char16_t *root;
        DWORD information;  // GetVolumeInformationW's error
        UINT drive_type;
        DWORD free_space;  // GetDiskFreeSpaceExW's error
    };
    const Case cases[] = {
        {u"d:\\", ERROR_SUCCESS, DRIVE_NO_ROOT_DIR, ERROR_SUCCESS},
        // "D:" from the current directory on D:, which is its root.
        {u"D:", ERROR_SUCCESS, DRIVE_FIXED, ERROR_SUCCESS},
        {u"D:\\\\", ERROR_SUCCESS, DRIVE_NO_ROOT_DIR, ERROR_SUCCESS},
        {u"C:\\Data", ERROR_INVALID_NAME, DRIVE_NO_ROOT_DIR, ERROR_SUCCESS},
        // C: itself is not mounted.
        {u"C:\\", ERROR_PATH_NOT_FOUND, DRIVE_NO_ROOT_DIR, ERROR_PATH_NOT_FOUND},
        {u"", ERROR_PATH_NOT_FOUND, DRIVE_NO_ROOT_DIR, ERROR_PATH_NOT_FOUND},
        // Relative: D:\\D and so on, without a trailing separator.
        {u"D", ERROR_INVALID_NAME, DRIVE_NO_ROOT_DIR, ERROR_PATH_NOT_FOUND},
        {u"D?", ERROR_INVALID_NAME, DRIVE_NO_ROOT_DIR, ERROR_PATH_NOT_FOUND},
        {u"?", ERROR_INVALID_NAME, DRIVE_NO_ROOT_DIR, ERROR_PATH_NOT_FOUND},
        {u"\\\\?\\d:\\", ERROR_PATH_NOT_FOUND, DRIVE_NO_ROOT_DIR, ERROR_PATH_NOT_FOUND},
        {u"\\\\?\\D:", ERROR_PATH_NOT_FOUND, DRIVE_NO_ROOT_DIR, ERROR_PATH_NOT_FOUND},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(Narrow(c.root));
        Information information;
        EXPECT_EQ(Ask(ByRoot(c.root), information), c.information == ERROR_SUCCESS);
        if (c.information != ERROR_SUCCESS) {
            EXPECT_EQ(GetLastError(), c.information);
            EXPECT_EQ(information.serial, kUntouched);
        } else {
            EXPECT_EQ(information, kDataInformation);
        }
        // GetDriveTypeW takes a root exactly as given but for a bare "D:", the drive.
        EXPECT_EQ(GetDriveTypeW(c.root), c.drive_type);
        ULARGE_INTEGER total{};
        EXPECT_EQ(GetDiskFreeSpaceExW(c.root, nullptr, &total, nullptr), c.free_space == ERROR_SUCCESS);
        if (c.free_space != ERROR_SUCCESS) {
            EXPECT_EQ(GetLastError(), c.free_space);
        } else {
            EXPECT_EQ(total.QuadPart, *Data().total_bytes);
        }
    }
}

// A system drive C:, the data volume at D:\\ and C:\\Data\\, and the
// directory C:\\Windows\\System32.
class CurrentDirectory : public Kernel32 {
protected:
    void SetUp() override {
        Kernel32::SetUp();
        VolumeSpec system = Volume(kA, {u"C:\\"});
        system.serial = 0xC;
        system.total_bytes = 1000;
        winstub::AddVolume(system);
        winstub::AddVolume(Data());
        ASSERT_TRUE(winstub::AddDirectory(u"C:\\Windows\\System32"));
    }

    // The serial number GetVolumeInformationW tells for `root`, or its error.
    static std::pair<DWORD, DWORD> SerialOf(LPCWSTR root) {
        DWORD serial = 0;
        if (!GetVolumeInformationW(root, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) {
            return {0, GetLastError()};
        }
        return {serial, ERROR_SUCCESS};
    }

    static std::pair<uint64_t, DWORD> SizeOf(LPCWSTR directory) {
        ULARGE_INTEGER total{};
        if (!GetDiskFreeSpaceExW(directory, nullptr, &total, nullptr)) {
            return {0, GetLastError()};
        }
        return {total.QuadPart, ERROR_SUCCESS};
    }
};

TEST_F(CurrentDirectory, IsTheFirstDriveRootUntilChanged) {
    EXPECT_EQ(winstub::CurrentDirectory(), u"C:\\");
    const std::pair<DWORD, DWORD> system{0xC, ERROR_SUCCESS};
    const std::pair<uint64_t, DWORD> system_size{1000, ERROR_SUCCESS};
    for (LPCWSTR current : {static_cast<LPCWSTR>(nullptr), static_cast<LPCWSTR>(u"\\"), static_cast<LPCWSTR>(u"/")}) {
        EXPECT_EQ(SerialOf(current), system);
        EXPECT_EQ(SizeOf(current), system_size);
    }
    EXPECT_EQ(GetDriveTypeW(nullptr), DRIVE_FIXED);
    EXPECT_EQ(GetDriveTypeW(u"\\"), DRIVE_FIXED);
    // Deeper, on the folder mount: NULL and "\\" still name the drive's root
    // to GetVolumeInformationW; to GetDiskFreeSpaceExW NULL is the directory.
    ASSERT_TRUE(winstub::AddDirectory(u"C:\\Data\\Reports"));
    ASSERT_TRUE(winstub::ChangeDirectory(u"C:\\Data\\Reports\\"));
    EXPECT_EQ(winstub::CurrentDirectory(), u"C:\\Data\\Reports");
    EXPECT_EQ(SerialOf(nullptr), system);
    EXPECT_EQ(SerialOf(u"\\"), system);
    EXPECT_EQ(SizeOf(nullptr), std::make_pair(*Data().total_bytes, ERROR_SUCCESS));
    EXPECT_EQ(SizeOf(u"\\"), system_size);
    EXPECT_EQ(SizeOf(u"/"), system_size);
    ASSERT_TRUE(winstub::ChangeDirectory(u"D:\\"));
    EXPECT_EQ(SerialOf(nullptr), std::make_pair(Data().serial, ERROR_SUCCESS));
    EXPECT_EQ(SizeOf(u"\\"), std::make_pair(*Data().total_bytes, ERROR_SUCCESS));
    VolumeSpec stick = Volume(kC, {u"E:\\"});
    stick.drive_type = DRIVE_REMOVABLE;
    winstub::AddVolume(stick);
    ASSERT_TRUE(winstub::ChangeDirectory(u"E:\\"));
    EXPECT_EQ(GetDriveTypeW(nullptr), DRIVE_REMOVABLE);
    EXPECT_EQ(GetDriveTypeW(u"\\"), DRIVE_REMOVABLE);
}

TEST_F(CurrentDirectory, OnlyAnExistingDirectoryBecomesCurrent) {
    for (const char16_t *missing : {u"C:\\Program Files", u"Q:\\", u"C:\\Windows\\System32\\drivers", u""}) {
        SCOPED_TRACE(Narrow(missing));
        EXPECT_FALSE(winstub::ChangeDirectory(missing));
        EXPECT_EQ(winstub::CurrentDirectory(), u"C:\\");
    }
    // Relative to the current directory, "/" a separator like "\\".
    EXPECT_TRUE(winstub::ChangeDirectory(u"Windows/System32"));
    EXPECT_EQ(winstub::CurrentDirectory(), u"C:\\Windows\\System32");
    EXPECT_TRUE(winstub::ChangeDirectory(u".."));
    EXPECT_EQ(winstub::CurrentDirectory(), u"C:\\Windows");
    EXPECT_FALSE(winstub::AddDirectory(u"Windows\\Temp"));  // not absolute
    EXPECT_FALSE(winstub::SetDriveDirectory(u"C:Windows"));
}

TEST_F(CurrentDirectory, VolumeInformationOfEachPathForm) {
    ASSERT_TRUE(winstub::ChangeDirectory(u"C:\\Windows\\System32"));
    const DWORD system = 0xC;
    const DWORD data = Data().serial;
    const std::pair<const char16_t *, std::pair<DWORD, DWORD>> cases[] = {
        {u"C:\\", {system, ERROR_SUCCESS}},
        {u"c:/", {system, ERROR_SUCCESS}},
        {u"C:\\Windows\\..\\", {system, ERROR_SUCCESS}},
        {u"\\\\.\\C:\\Windows\\..\\", {system, ERROR_SUCCESS}},
        {u"C:\\Data\\", {data, ERROR_SUCCESS}},
        {u"C:/Data/../Data/.\\", {data, ERROR_SUCCESS}},
        {u"..\\..\\Data\\", {data, ERROR_SUCCESS}},
        {u"\\Data\\", {data, ERROR_SUCCESS}},
        // From the current directory on C:, which is no root.
        {u"C:", {0, ERROR_INVALID_NAME}},
        // D:'s own current directory is its root.
        {u"D:", {data, ERROR_SUCCESS}},
        {u"C:\\Windows\\", {0, ERROR_DIR_NOT_ROOT}},
        {u".\\", {0, ERROR_DIR_NOT_ROOT}},
        {u"C:\\Windows", {0, ERROR_INVALID_NAME}},
        {u"C:\\Data", {0, ERROR_INVALID_NAME}},
        {u"C:\\Data\\nonexistent\\", {0, ERROR_FILE_NOT_FOUND}},
        {u"C:\\nonexistent\\", {0, ERROR_FILE_NOT_FOUND}},
        {u"C:\\nonexistent\\deeper\\", {0, ERROR_PATH_NOT_FOUND}},
        {u"Q:\\", {0, ERROR_PATH_NOT_FOUND}},
        {u"Q:\\Windows\\", {0, ERROR_PATH_NOT_FOUND}},
    };
    for (const auto &[root, expected] : cases) {
        EXPECT_EQ(SerialOf(root), expected) << Narrow(root);
    }
}

TEST_F(CurrentDirectory, DriveRelativeRootFollowsTheDrivesOwnDirectory) {
    // "C:" is C:'s current directory: the current one while it is on C:,
    // else the one kept for C: ("=C:" on Windows), else the root.
    const std::pair<DWORD, DWORD> root{0xC, ERROR_SUCCESS};
    const std::pair<DWORD, DWORD> not_a_root{0, ERROR_INVALID_NAME};
    EXPECT_EQ(SerialOf(u"C:"), root);
    ASSERT_TRUE(winstub::ChangeDirectory(u"C:\\Windows"));
    EXPECT_EQ(SerialOf(u"C:"), not_a_root);
    ASSERT_TRUE(winstub::ChangeDirectory(u"D:\\"));
    EXPECT_EQ(SerialOf(u"C:"), root);  // moving away remembers nothing
    ASSERT_TRUE(winstub::SetDriveDirectory(u"C:\\Windows"));
    EXPECT_EQ(SerialOf(u"C:"), not_a_root);
    EXPECT_EQ(SerialOf(u"C:\\"), root);
    ASSERT_TRUE(winstub::ChangeDirectory(u"C:\\"));
    EXPECT_EQ(SerialOf(u"C:"), root);  // the current directory wins on its own drive
    ASSERT_TRUE(winstub::ChangeDirectory(u"D:\\"));
    EXPECT_EQ(SerialOf(u"C:"), not_a_root);
    ASSERT_TRUE(winstub::SetDriveDirectory(u"C:\\"));
    EXPECT_EQ(SerialOf(u"C:"), root);
}

TEST_F(CurrentDirectory, LinksLeadWhereTheyPoint) {
    ASSERT_TRUE(winstub::AddLink(u"C:\\ToData", u"C:\\Data\\"));
    ASSERT_TRUE(winstub::AddLink(u"C:\\ToC", u"C:\\"));
    EXPECT_FALSE(winstub::AddLink(u"ToC", u"C:\\"));
    const DWORD system = 0xC;
    const DWORD data = Data().serial;
    const std::pair<const char16_t *, std::pair<DWORD, DWORD>> cases[] = {
        // To a folder mount point, to a drive's root, and a mount point reached through one.
        {u"C:\\ToData\\", {data, ERROR_SUCCESS}},
        {u"C:\\ToC\\", {system, ERROR_SUCCESS}},
        {u"C:\\ToC\\Data\\", {data, ERROR_SUCCESS}},
        {u"C:\\ToC\\ToC\\ToData\\", {data, ERROR_SUCCESS}},
        {u"C:\\ToData", {0, ERROR_INVALID_NAME}},
        {u"C:\\ToC\\Windows\\", {0, ERROR_DIR_NOT_ROOT}},
        {u"C:\\ToC\\nowhere\\", {0, ERROR_FILE_NOT_FOUND}},
    };
    for (const auto &[root, expected] : cases) {
        EXPECT_EQ(SerialOf(root), expected) << Narrow(root);
    }
    EXPECT_EQ(SizeOf(u"C:\\ToData\\"), std::make_pair(*Data().total_bytes, ERROR_SUCCESS));
    EXPECT_TRUE(winstub::ChangeDirectory(u"C:\\ToC\\Windows"));
    EXPECT_EQ(winstub::CurrentDirectory(), u"C:\\ToC\\Windows");  // as given, not as followed
    EXPECT_TRUE(winstub::RemoveLink(u"C:\\ToData\\"));
    EXPECT_FALSE(winstub::RemoveLink(u"C:\\ToData"));
    EXPECT_EQ(SerialOf(u"C:\\ToData\\"), std::make_pair(DWORD{0}, ERROR_FILE_NOT_FOUND));
}

TEST_F(Kernel32, EmptyMachineHasNoCurrentDirectory) {
    EXPECT_EQ(winstub::CurrentDirectory(), u"");
    DWORD serial = 0;
    EXPECT_FALSE(GetVolumeInformationW(nullptr, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    ULARGE_INTEGER total{};
    EXPECT_FALSE(GetDiskFreeSpaceExW(nullptr, nullptr, &total, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(Kernel32, VolumeInformationTextsMustFitWithTheirNul) {
    winstub::AddVolume(Data());  // "Data" and "NTFS": 4 characters each
    struct Case {
        DWORD label_size;
        DWORD filesystem_size;
        bool succeeds;
        bool filesystem_short;  // and the label fits
    };
    const Case cases[] = {{5, 5, true, false}, {4, 5, false, false}, {5, 4, false, true}, {0, 0, false, false}};
    // The by-handle function refuses a short file-system name buffer with
    // ERROR_BAD_LENGTH, as Windows does.
    const std::pair<InformationCall, DWORD> calls[] = {{ByRoot(u"D:\\"), ERROR_INSUFFICIENT_BUFFER},
                                                       {ByHandle(*winstub::OpenHandle(kB)), ERROR_BAD_LENGTH}};
    for (const auto &[call, short_filesystem_error] : calls) {
        for (const Case &c : cases) {
            SCOPED_TRACE(testing::Message() << c.label_size << ", " << c.filesystem_size);
            Information information;
            EXPECT_EQ(Ask(call, information, c.label_size, c.filesystem_size) != 0, c.succeeds);
            if (c.succeeds) {
                EXPECT_EQ(information, kDataInformation);
            } else {
                EXPECT_EQ(GetLastError(), c.filesystem_short ? short_filesystem_error : ERROR_INSUFFICIENT_BUFFER);
                EXPECT_EQ(information, Information());  // nothing written
            }
        }
    }
}

TEST_F(Kernel32, VolumeInformationOutputsMayBeLeftOut) {
    winstub::AddVolume(Data());
    EXPECT_TRUE(GetVolumeInformationW(u"D:\\", nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0));
    DWORD serial = 0;
    WCHAR filesystem[5];
    EXPECT_TRUE(GetVolumeInformationW(u"D:\\", nullptr, 0, &serial, nullptr, nullptr, filesystem, 5));
    EXPECT_EQ(serial, kDataInformation.serial);
    EXPECT_EQ(std::u16string(filesystem), u"NTFS");
}

TEST_F(Kernel32, VolumeInformationErrorOfTheVolume) {
    VolumeSpec volume = Data();
    volume.information_error = ERROR_NOT_READY;
    winstub::AddVolume(volume);
    for (const InformationCall &call : {ByRoot(u"D:\\"), ByHandle(*winstub::OpenHandle(kB))}) {
        Information information;
        EXPECT_FALSE(Ask(call, information));
        EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    }
}

TEST_F(Kernel32, VolumeInformationByHandleNeedsAnOpenFile) {
    winstub::AddVolume(Data());
    const int64_t closed = *winstub::OpenHandle(kB);
    ASSERT_TRUE(winstub::CloseHandle(closed));
    EXPECT_FALSE(winstub::CloseHandle(closed));
    EXPECT_FALSE(winstub::OpenHandle(kA).has_value());
    WCHAR buffer[kName];
    HANDLE search = FindFirstVolumeW(buffer, kName);
    for (int64_t handle : {closed, int64_t{-1}, int64_t{0}, reinterpret_cast<int64_t>(search)}) {
        SCOPED_TRACE(handle);
        Information information;
        EXPECT_FALSE(Ask(ByHandle(handle), information));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
    FindVolumeClose(search);
}

TEST_F(Kernel32, DriveTypeAndSizeByNameOrMountPoint) {
    VolumeSpec stick = Volume(kC, {u"E:\\"});
    stick.drive_type = DRIVE_REMOVABLE;
    stick.total_bytes = std::nullopt;
    winstub::AddVolume(Data());
    winstub::AddVolume(stick);
    // A drive's root also with the prefixes that skip parsing, as on Windows.
    for (const char16_t *root : {kB.c_str(), u"D:\\", u"C:\\Data\\", u"\\\\?\\D:\\", u"\\\\.\\D:\\"}) {
        SCOPED_TRACE(Narrow(root));
        EXPECT_EQ(GetDriveTypeW(root), DRIVE_FIXED);
        ULARGE_INTEGER available{}, total{}, free{};
        EXPECT_TRUE(GetDiskFreeSpaceExW(root, &available, &total, &free));
        EXPECT_EQ(total.QuadPart, *Data().total_bytes);
        EXPECT_EQ(available.QuadPart, 12345u);
        EXPECT_EQ(free.QuadPart, 12345u);
        total.QuadPart = 0;
        EXPECT_TRUE(GetDiskFreeSpaceExW(root, nullptr, &total, nullptr));
        EXPECT_EQ(total.QuadPart, *Data().total_bytes);
    }
    EXPECT_EQ(GetDriveTypeW(u"E:\\"), DRIVE_REMOVABLE);
    EXPECT_EQ(GetDriveTypeW(u"E:"), DRIVE_REMOVABLE);
    EXPECT_EQ(GetDriveTypeW(u"e:"), DRIVE_NO_ROOT_DIR);  // as "e:\\" is
    ULARGE_INTEGER total{};
    EXPECT_FALSE(GetDiskFreeSpaceExW(u"E:\\", nullptr, &total, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
}

// One call of each scriptable function with arguments that succeed on a
// machine holding Data(); true for success.
struct Scriptable {
    const char *function;
    std::function<bool()> call;
};

std::vector<Scriptable> EveryFunction(HANDLE search, int64_t file) {
    return {
        {"FindFirstVolumeW",
         [] {
             WCHAR buffer[kName];
             HANDLE found = FindFirstVolumeW(buffer, kName);
             if (found == INVALID_HANDLE_VALUE) {
                 return false;
             }
             FindVolumeClose(found);
             return true;
         }},
        {"FindNextVolumeW",
         [search] {
             // The machine's only volume has been handed out: ending the search is this call's success.
             WCHAR buffer[kName];
             return !FindNextVolumeW(search, buffer, kName) && GetLastError() == ERROR_NO_MORE_FILES;
         }},
        {"FindVolumeClose",
         [] {
             WCHAR buffer[kName];
             HANDLE found = FindFirstVolumeW(buffer, kName);
             if (FindVolumeClose(found)) {
                 return true;
             }
             FindVolumeClose(found);
             return false;
         }},
        {"GetVolumePathNamesForVolumeNameW",
         [] {
             WCHAR buffer[kName];
             DWORD returned = 0;
             return GetVolumePathNamesForVolumeNameW(kB.c_str(), buffer, kName, &returned) != 0;
         }},
        {"GetVolumeInformationW",
         [] {
             Information information;
             return Ask(ByRoot(u"D:\\"), information) != 0;
         }},
        {"GetVolumeInformationByHandleW",
         [file] {
             Information information;
             return Ask(ByHandle(file), information) != 0;
         }},
        {"GetDriveTypeW", [] { return GetDriveTypeW(u"D:\\") == DRIVE_FIXED; }},
        {"GetDiskFreeSpaceExW",
         [] {
             ULARGE_INTEGER total;
             return GetDiskFreeSpaceExW(u"D:\\", nullptr, &total, nullptr) != 0;
         }},
    };
}

TEST_F(Kernel32, EveryFunctionFailsOnRequestAndLogsTheCall) {
    winstub::AddVolume(Data());
    WCHAR buffer[kName];
    HANDLE search = FindFirstVolumeW(buffer, kName);
    const int64_t file = *winstub::OpenHandle(kB);
    for (const Scriptable &function : EveryFunction(search, file)) {
        SCOPED_TRACE(function.function);
        ASSERT_TRUE(winstub::IsScriptableFunction(function.function));
        winstub::Fail(function.function, 0x20000001);
        const size_t logged = winstub::Calls().size();
        SetLastError(0);
        EXPECT_FALSE(function.call());
        EXPECT_EQ(GetLastError(), 0x20000001u);
        const std::vector<Call> calls = winstub::Calls();
        EXPECT_TRUE(std::any_of(calls.begin() + logged, calls.end(),
                                [&](const Call &call) { return call.function == function.function; }));
        EXPECT_TRUE(function.call());
    }
    EXPECT_EQ(winstub::OpenSearches(), 1u);
    EXPECT_FALSE(winstub::IsScriptableFunction("GetLastError"));
    EXPECT_FALSE(winstub::IsScriptableFunction("FormatMessageW"));
    EXPECT_THROW(winstub::Fail("CreateFileW", 5), std::invalid_argument);
}

TEST_F(Kernel32, FailureValuesAreThoseOfWindows) {
    winstub::AddVolume(Data());
    winstub::Fail("FindFirstVolumeW", 5);
    winstub::Fail("GetDriveTypeW", 5);
    WCHAR buffer[kName];
    EXPECT_EQ(FindFirstVolumeW(buffer, kName), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetDriveTypeW(u"D:\\"), DRIVE_UNKNOWN);
}

TEST_F(Kernel32, ScriptsSkipRepeatAndQueue) {
    winstub::AddVolume(Data());
    winstub::Fail("GetDriveTypeW", 5, 2, 1);
    winstub::Fail("GetDriveTypeW", 21, 1, 1);
    winstub::Fail("GetDriveTypeW", 99, 0);  // fails no call
    const DWORD expected[] = {0, 5, 5, 0, 21, 0, 0};
    for (DWORD code : expected) {
        SetLastError(0);
        const UINT type = GetDriveTypeW(u"D:\\");
        EXPECT_EQ(type, code ? DRIVE_UNKNOWN : DRIVE_FIXED);
        EXPECT_EQ(GetLastError(), code);
    }
}

TEST_F(Kernel32, ScriptedPathNamesFailureMayReportALength) {
    winstub::AddVolume(Data());
    winstub::Fail("GetVolumePathNamesForVolumeNameW", ERROR_MORE_DATA, 1, 0, 30);
    winstub::Fail("GetVolumePathNamesForVolumeNameW", ERROR_ACCESS_DENIED);
    const DWORD expected[] = {30, kUntouched, 14};
    for (DWORD length : expected) {
        WCHAR buffer[kName];
        DWORD returned = kUntouched;
        GetVolumePathNamesForVolumeNameW(kB.c_str(), buffer, kName, &returned);
        EXPECT_EQ(returned, length);
    }
}

TEST_F(Kernel32, ScriptedCloseLeavesTheSearchOpen) {
    winstub::AddVolume(Data());
    WCHAR buffer[kName];
    HANDLE search = FindFirstVolumeW(buffer, kName);
    winstub::Fail("FindVolumeClose", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(FindVolumeClose(search));
    EXPECT_EQ(winstub::OpenSearches(), 1u);
    EXPECT_TRUE(FindVolumeClose(search));
    EXPECT_EQ(winstub::OpenSearches(), 0u);
}

TEST_F(Kernel32, CallLogRecordsArgumentsInOrder) {
    winstub::AddVolume(Data());
    const int64_t file = *winstub::OpenHandle(kB);
    WCHAR buffer[kName];
    DWORD returned;
    ULARGE_INTEGER total;
    HANDLE search = FindFirstVolumeW(buffer, 100);
    FindNextVolumeW(search, buffer, 50);
    FindVolumeClose(search);
    GetVolumePathNamesForVolumeNameW(kB.c_str(), buffer, 5, &returned);
    GetVolumeInformationW(u"D:\\", buffer, 40, nullptr, nullptr, nullptr, buffer, 30);
    GetVolumeInformationByHandleW(reinterpret_cast<HANDLE>(file), nullptr, 20, nullptr, nullptr, nullptr, buffer, 10);
    GetDriveTypeW(u"C:\\Data\\");
    GetDiskFreeSpaceExW(u"Z:\\", nullptr, &total, nullptr);
    SetLastError(GetLastError());  // not logged

    const int64_t handle = reinterpret_cast<int64_t>(search);
    const std::vector<Call> expected = {
        {"FindFirstVolumeW", {int64_t{100}}},
        {"FindNextVolumeW", {handle, int64_t{50}}},
        {"FindVolumeClose", {handle}},
        {"GetVolumePathNamesForVolumeNameW", {kB, int64_t{5}}},
        {"GetVolumeInformationW", {u"D:\\", int64_t{40}, int64_t{30}}},
        {"GetVolumeInformationByHandleW", {file, int64_t{20}, int64_t{10}}},
        {"GetDriveTypeW", {u"C:\\Data\\"}},
        {"GetDiskFreeSpaceExW", {u"Z:\\"}},
    };
    EXPECT_EQ(winstub::Calls(), expected);
    EXPECT_NE(handle, file);
}

TEST_F(Kernel32, ResetEmptiesTheMachine) {
    winstub::AddVolume(Data());
    const int64_t file = *winstub::OpenHandle(kB);
    WCHAR buffer[kName];
    FindFirstVolumeW(buffer, kName);
    winstub::Fail("FindFirstVolumeW", ERROR_ACCESS_DENIED);
    SetLastError(ERROR_ACCESS_DENIED);

    winstub::Reset();
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_TRUE(winstub::Calls().empty());
    EXPECT_EQ(winstub::OpenSearches(), 0u);
    EXPECT_FALSE(winstub::CloseHandle(file));
    // No volume and no script left.
    EXPECT_EQ(FindFirstVolumeW(buffer, kName), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_EQ(winstub::Calls().size(), 1u);
}

TEST_F(Kernel32, LastErrorBelongsToTheThread) {
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seen = kUntouched;
    std::thread other([&seen] {
        seen = GetLastError();
        SetLastError(ERROR_NOT_READY);
    });
    other.join();
    EXPECT_EQ(seen, 0u);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(Kernel32, ErrorModeBelongsToTheThreadAndIsLoggedWithEachCall) {
    winstub::AddVolume(Volume(kA, {u"C:\\"}));
    DWORD old_mode = kUntouched;
    ASSERT_TRUE(SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &old_mode));
    EXPECT_EQ(old_mode, 0u);
    UINT drive_type = GetDriveTypeW(kA.c_str());
    EXPECT_EQ(drive_type, DRIVE_FIXED);
    // Bits Windows does not know are refused, and the mode stays.
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(SetThreadErrorMode(0x0004, &old_mode));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    DWORD seen = kUntouched;
    std::thread other([&seen] {
        seen = GetThreadErrorMode();
        GetDriveTypeW(kA.c_str());
    });
    other.join();
    EXPECT_EQ(seen, 0u);
    ASSERT_TRUE(SetThreadErrorMode(SEM_NOGPFAULTERRORBOX, nullptr));
    GetDriveTypeW(kA.c_str());
    const std::vector<Call> calls = winstub::Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].error_mode, SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    EXPECT_EQ(calls[1].error_mode, 0u);
    EXPECT_EQ(calls[2].error_mode, SEM_NOGPFAULTERRORBOX);
    ASSERT_TRUE(SetThreadErrorMode(0, nullptr));
}

TEST_F(Kernel32, ConcurrentSearchesKeepTheMachineConsistent) {
    for (const std::u16string &name : {kA, kB, kC}) {
        winstub::AddVolume(Volume(name));
    }
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    std::vector<std::thread> threads;
    std::vector<int> complete(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &complete] {
            for (int i = 0; i < kRounds; ++i) {
                complete[t] += Enumerate() == std::vector<std::u16string>{kA, kB, kC};
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(complete, std::vector<int>(kThreads, kRounds));
    EXPECT_EQ(winstub::OpenSearches(), 0u);
    // First, three times next, close.
    EXPECT_EQ(winstub::Calls().size(), size_t{kThreads * kRounds * 5});
}

TEST(FormatMessage, SystemTexts) {
    const struct {
        DWORD code;
        const char16_t *text;
    } cases[] = {
        {0, u"The operation completed successfully.\r\n"},
        {2, u"The system cannot find the file specified.\r\n"},
        {3, u"The system cannot find the path specified.\r\n"},
        {5, u"Access is denied.\r\n"},
        {6, u"The handle is invalid.\r\n"},
        {8, u"Not enough memory resources are available to process this command.\r\n"},
        {18, u"There are no more files.\r\n"},
        {21, u"The device is not ready.\r\n"},
        {87, u"The parameter is incorrect.\r\n"},
        {121, u"The semaphore timeout period has expired.\r\n"},
        {122, u"The data area passed to a system call is too small.\r\n"},
        {123, u"The filename, directory name, or volume label syntax is incorrect.\r\n"},
        {206, u"The filename or extension is too long.\r\n"},
        {234, u"More data is available.\r\n"},
    };
    constexpr DWORD kFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code);
        WCHAR buffer[512];
        const std::u16string text(c.text);
        EXPECT_EQ(FormatMessageW(kFlags, nullptr, c.code, 0, buffer, 512, nullptr), text.size());
        EXPECT_EQ(std::u16string(buffer), text);
        // The text and its NUL must fit.
        EXPECT_EQ(FormatMessageW(kFlags, nullptr, c.code, 0, buffer, static_cast<DWORD>(text.size()), nullptr), 0u);
        EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    }
}

TEST(FormatMessage, UnknownCodeHasNoText) {
    WCHAR buffer[512];
    for (DWORD code : {DWORD{7}, DWORD{0x20000001}, DWORD{0xFFFFFFFF}}) {
        SetLastError(0);
        EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                                 512, nullptr),
                  0u);
        EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
    }
}

TEST(SampleMachine, IsARealisticDesktop) {
    winstub::UseSampleMachine();
    EXPECT_TRUE(winstub::Calls().empty());
    const std::regex guid_name(R"(\\\\\?\\Volume\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\}\\)");
    size_t unmounted = 0;
    for (const VolumeSpec &volume : winstub::SampleVolumes()) {
        EXPECT_TRUE(std::regex_match(Narrow(volume.name), guid_name)) << Narrow(volume.name);
        unmounted += volume.mount_points.empty();
    }
    EXPECT_EQ(unmounted, 1u);

    const struct {
        const char16_t *root;
        UINT drive_type;
        DWORD information_error;  // also of the size query
        const char16_t *label;
        const char16_t *filesystem;
    } cases[] = {
        {u"C:\\", DRIVE_FIXED, 0, u"System", u"NTFS"},
        {u"D:\\", DRIVE_FIXED, 0, u"Data", u"NTFS"},
        {u"C:\\Data\\Archive\\", DRIVE_FIXED, 0, u"Data", u"NTFS"},
        {u"E:\\", DRIVE_REMOVABLE, 0, u"USBSTICK", u"FAT32"},
        {u"F:\\", DRIVE_CDROM, ERROR_NOT_READY, u"", u""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(Narrow(c.root));
        EXPECT_EQ(GetDriveTypeW(c.root), c.drive_type);
        Information information;
        ULARGE_INTEGER total{};
        const bool answered = Ask(ByRoot(c.root), information) && GetDiskFreeSpaceExW(c.root, nullptr, &total, nullptr);
        if (c.information_error) {
            EXPECT_FALSE(answered);
            EXPECT_EQ(GetLastError(), c.information_error);
            continue;
        }
        EXPECT_TRUE(answered);
        EXPECT_EQ(information.label, c.label);
        EXPECT_EQ(information.filesystem, c.filesystem);
        EXPECT_EQ(information.max_component, 255u);
        EXPECT_GT(total.QuadPart, 1'000'000'000u);
    }
    Information system;
    Ask(ByRoot(u"C:\\"), system);
    EXPECT_NE(system.serial & 0x80000000u, 0u);
    Information data;
    Ask(ByRoot(u"D:\\"), data);
    Information folder;
    Ask(ByRoot(u"C:\\Data\\Archive\\"), folder);
    EXPECT_EQ(data.serial, folder.serial);
}

}  // namespace

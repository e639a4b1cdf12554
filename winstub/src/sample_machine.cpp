// The default machine: a small desktop with a system disk, a data disk, a
// recovery partition, a USB stick and an empty DVD drive.
#include <utility>

#include "simulated_machine.h"

namespace winstub {

namespace {

// What NTFS reports on a current Windows.
constexpr DWORD kNtfsFlags = FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK |
                             FILE_PERSISTENT_ACLS | FILE_FILE_COMPRESSION | FILE_VOLUME_QUOTAS |
                             FILE_SUPPORTS_SPARSE_FILES | FILE_SUPPORTS_REPARSE_POINTS | FILE_SUPPORTS_OBJECT_IDS |
                             FILE_SUPPORTS_ENCRYPTION | FILE_NAMED_STREAMS | FILE_SUPPORTS_TRANSACTIONS |
                             FILE_SUPPORTS_HARD_LINKS | FILE_SUPPORTS_EXTENDED_ATTRIBUTES |
                             FILE_SUPPORTS_OPEN_BY_FILE_ID | FILE_SUPPORTS_USN_JOURNAL;
// FAT keeps the case of names and stores them in Unicode, and no more.
constexpr DWORD kFatFlags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;

VolumeSpec Volume(std::u16string name, std::vector<std::u16string> mount_points, std::u16string label, DWORD serial,
                  DWORD flags, std::u16string filesystem, UINT drive_type, uint64_t total_bytes, uint64_t free_bytes) {
    VolumeSpec volume;
    volume.name = std::move(name);
    volume.mount_points = std::move(mount_points);
    volume.label = std::move(label);
    volume.serial = serial;
    volume.max_component = 255;
    volume.flags = flags;
    volume.filesystem = std::move(filesystem);
    volume.drive_type = drive_type;
    volume.total_bytes = total_bytes;
    volume.free_bytes = free_bytes;
    return volume;
}

}  // namespace

std::vector<VolumeSpec> SampleVolumes() {
    std::vector<VolumeSpec> volumes = {
        Volume(u"\\\\?\\Volume{6e3c1f2a-9b47-4d0e-8a15-3c7f20b9d461}\\", {u"C:\\"}, u"System", 0xA41C37E9, kNtfsFlags,
               u"NTFS", DRIVE_FIXED, 255'369'379'840, 97'284'317'184),
        Volume(u"\\\\?\\Volume{d81f5c07-2e6a-4b93-b0c4-5a9e17f3c8d2}\\", {}, u"Recovery", 0x6C2E0B5D, kNtfsFlags,
               u"NTFS", DRIVE_FIXED, 681'570'304, 98'631'680),
        Volume(u"\\\\?\\Volume{2b9e4a71-c5d8-4f06-9e3b-81d4a6f02c5e}\\", {u"D:\\", u"C:\\Data\\Archive\\"}, u"Data",
               0x3E8D51A2, kNtfsFlags, u"NTFS", DRIVE_FIXED, 1'000'186'310'656, 412'903'960'576),
        Volume(u"\\\\?\\Volume{a7d03e9c-41f2-11ee-b962-806e6f6e6963}\\", {u"E:\\"}, u"USBSTICK", 0x1A2B3C4D, kFatFlags,
               u"FAT32", DRIVE_REMOVABLE, 15'997'075'456, 9'214'230'528),
    };
    // No disc in the drive: asking about it answers "not ready".
    VolumeSpec dvd =
        Volume(u"\\\\?\\Volume{a7d03e9d-41f2-11ee-b962-806e6f6e6963}\\", {u"F:\\"}, u"", 0, 0, u"", DRIVE_CDROM, 0, 0);
    dvd.total_bytes = std::nullopt;
    dvd.information_error = ERROR_NOT_READY;
    volumes.push_back(std::move(dvd));
    return volumes;
}

std::shared_ptr<SimulatedMachine> MakeSampleMachine() {
    auto machine = std::make_shared<SimulatedMachine>();
    for (const VolumeSpec &volume : SampleVolumes()) {
        machine->AddVolume(volume);
    }
    return machine;
}

}  // namespace winstub

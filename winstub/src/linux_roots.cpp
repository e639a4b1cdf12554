// The roots GetVolumeInformationW takes on this machine: a volume's GUID
// name or mount point as the table has it, and any other spelling of a
// directory, which the kernel resolves and tells whether it is a mount's root.
#include <cerrno>
#include <string_view>

#include "linux_machine.h"
#include "path_forms.h"

namespace winstub {

using this_machine::FileSystemAnswer;
using this_machine::Question;
using this_machine::Volume;

namespace {

// The directory that holds a path, by its text: "/a/b/" is in "/a".
std::string ParentText(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    const size_t last = path.rfind('/');
    return last == 0 || last == std::string::npos ? std::string("/") : path.substr(0, last);
}

}  // namespace

DWORD ThisMachine::AskDirectory(const Snapshot &snapshot, const std::string &path, FileSystemAnswer &answer) {
    // Each directory asks of its own: whether it exists is its own answer.
    // The file system that the mount table places it on stands for it
    // while one of its questions is past its deadline.
    const std::optional<dev_t> holder = this_machine::FileSystemOfPathText(snapshot.mounts, path);
    Question question{Question::Kind::kAtPath, holder.value_or(0), path};
    question.keep = false;
    return Ask(true, question, answer);
}

DWORD ThisMachine::VolumeOfRoot(const Snapshot &snapshot, LPCWSTR root, const Volume *&volume) {
    const std::u16string text = ReadText(root);
    if (!root || text == u"\\") {
        volume = FindRoot(snapshot, root);
        return volume ? ERROR_SUCCESS : ERROR_PATH_NOT_FOUND;
    }
    if (StartsWith(text, this_machine::kGuidPathPrefix)) {
        volume = Find(snapshot, text);
        return volume ? ERROR_SUCCESS : ERROR_PATH_NOT_FOUND;
    }
    // Relative paths and drive letters name no root here.
    if (text.empty() || text.front() != u'/') {
        return ERROR_PATH_NOT_FOUND;
    }
    // A root ends with its separator: "/", or the "\" a Windows caller adds.
    if (text.back() != u'/' && text.back() != u'\\') {
        return ERROR_INVALID_NAME;
    }
    if ((volume = Find(snapshot, text))) {
        return ERROR_SUCCESS;
    }
    // Spelt otherwise ("." or "..", a symbolic link, doubled slashes): where
    // the kernel's lookup leads, which may hang on any file system on the way.
    std::optional<std::string> path = this_machine::ToLinux(WithoutAddedBackslash(text));
    if (!path) {
        return ERROR_INVALID_NAME;
    }
    while (path->size() > 1 && path->back() == '/') {
        path->pop_back();  // asked as GetDiskFreeSpaceExW asks a directory
    }
    FileSystemAnswer answer;
    if (DWORD error = AskDirectory(snapshot, *path, answer)) {
        return error;
    }
    if (answer.error == ENOENT) {
        // Windows tells a missing directory from a missing directory above it.
        FileSystemAnswer parent;
        if (DWORD error = AskDirectory(snapshot, ParentText(*path), parent)) {
            return error;
        }
        return parent.error ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
    }
    if (answer.error) {
        return this_machine::WindowsErrorFor(answer.error);
    }
    if (!answer.place.mount_root) {
        return ERROR_DIR_NOT_ROOT;
    }
    for (const Volume &candidate : snapshot.volumes) {
        for (int id : candidate.mount_ids) {
            if (static_cast<uint64_t>(id) == answer.place.mount_id) {
                volume = &candidate;
                return ERROR_SUCCESS;
            }
        }
    }
    return ERROR_PATH_NOT_FOUND;  // a mount of no volume (/proc)
}

}  // namespace winstub

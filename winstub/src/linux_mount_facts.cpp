// Which mounts of a table are proven local, and which may wait for a FUSE
// daemon or a server (linux_mount_table.h).
#include <algorithm>
#include <limits>

#include "linux_mount_table.h"

namespace winstub::this_machine {

namespace {

// Stacking file systems whose layers this code cannot place: never local.
constexpr std::string_view kUnplacedStacks[] = {"aufs", "unionfs", "ecryptfs", "shiftfs", "wrapfs", "mergerfs"};

// The directories of an overlay's layers, from its options as the table
// spells them (a comma inside a value is escaped there); false when they
// cannot be told.
bool OverlayLayers(std::string_view options, std::vector<std::string> &layers) {
    bool lower = false;
    size_t start = 0;
    while (start <= options.size()) {
        const size_t end = std::min(options.find(',', start), options.size());
        const std::string_view option = options.substr(start, end - start);
        start = end + 1;
        const size_t equals = option.find('=');
        const std::string_view name = option.substr(0, equals);
        if (name != "lowerdir" && name != "lowerdir+" && name != "datadir+" && name != "upperdir" &&
            name != "workdir") {
            continue;
        }
        if (equals == std::string_view::npos) {
            return false;
        }
        const std::string value = UndoOctal(option.substr(equals + 1));
        if (name != "lowerdir") {
            layers.push_back(value);
        } else {
            // Layers apart by ':', "\:" and "\\" standing for themselves; "::"
            // before data-only layers.
            lower = true;
            std::string layer;
            for (size_t i = 0; i < value.size(); ++i) {
                if (value[i] == '\\' && i + 1 < value.size()) {
                    layer += value[++i];
                } else if (value[i] == ':') {
                    if (!layer.empty()) {
                        layers.push_back(layer);
                    }
                    layer.clear();
                } else {
                    layer += value[i];
                }
            }
            if (!layer.empty()) {
                layers.push_back(layer);
            }
        }
        lower = lower || name == "lowerdir+";
    }
    return lower && std::all_of(layers.begin(), layers.end(), [](const std::string &layer) {
               return !layer.empty() && layer.front() == '/';
           });
}

}  // namespace

MountFacts::MountFacts(const std::vector<Mount> &mounts, const DeviceFiles &files, LoopBacking loop_backing)
    : mounts_(mounts), files_(files), loop_backing_(std::move(loop_backing)) {
    for (size_t i = 0; i < mounts.size(); ++i) {
        by_id_.emplace(mounts[i].id, i);
        by_device_[mounts[i].device].push_back(i);
    }
    for (size_t i = 0; i < mounts.size(); ++i) {
        const Mount &mount = mounts[i];
        if (mount.parent_id == mount.id || !by_id_.count(mount.parent_id)) {
            // The namespace's root: its parent lies outside the table.
            if (!root_ && mount.target == "/") {
                root_ = &mount;
            }
            continue;
        }
        children_[{mount.parent_id, mount.target}].push_back(i);
    }
}

const Mount *MountFacts::ById(int id) const {
    auto found = by_id_.find(id);
    return found == by_id_.end() ? nullptr : &mounts_[found->second];
}

std::optional<dev_t> MountFacts::Block(const Mount &mount) const {
    auto [known, unknown] = blocks_.try_emplace(mount.id);
    if (unknown && !IsNetworkMount(mount)) {
        if (files_.IsBlockDevice(mount.device)) {
            known->second = mount.device;
        } else if (!IsFuse(mount) || mount.fstype == "fuseblk") {
            known->second = files_.DeviceOfSource(mount.source);
        }
    }
    return known->second;
}

bool MountFacts::ReadsFromSlow(dev_t block, int depth) const {
    auto [known, unknown] = slow_blocks_.try_emplace(block, true);
    if (!unknown) {
        return known->second;
    }
    if (!files_.IsLoopDevice(block)) {
        known->second = false;
        return false;
    }
    // A name in sysfs that leads through a file system that may hang settles
    // it without asking. Any other name may mislead (a lazily unmounted file
    // system's file is named from its own root, a newline in a name, a name
    // too long to read): the backing file is then placed by the device of
    // its file system, as the loop driver holds it, local only when every
    // mount of that file system is.
    if (const std::optional<std::string> name = files_.LoopBackingName(block); name && !name->empty()) {
        const Mount *top = nullptr;
        if (name->front() != '/' || WalkIsSlow(*name, top, depth + 1) || !top || Hangs(*top, depth + 1)) {
            return true;
        }
    }
    const std::optional<dev_t> holder = loop_backing_ ? loop_backing_(block) : std::nullopt;
    const auto holders = holder ? by_device_.find(*holder) : by_device_.end();
    if (depth > kDeepest || holders == by_device_.end()) {
        return true;
    }
    known->second = std::any_of(holders->second.begin(), holders->second.end(),
                                [&](size_t i) { return Hangs(mounts_[i], depth + 1); });
    return known->second;
}

bool MountFacts::Hangs(const Mount &mount, int depth) const {
    auto [known, unknown] = hangs_.try_emplace(mount.id, true);
    if (unknown) {
        if (MayHang(mount) || depth > kDeepest) {
            return true;
        }
        std::optional<dev_t> block = Block(mount);
        known->second = (block && ReadsFromSlow(*block, depth)) || LayersAreSlow(mount, depth);
    }
    return known->second;
}

bool MountFacts::LayersAreSlow(const Mount &mount, int depth) const {
    if (std::find(std::begin(kUnplacedStacks), std::end(kUnplacedStacks), mount.fstype) != std::end(kUnplacedStacks)) {
        return true;
    }
    if (mount.fstype != "overlay") {
        return false;
    }
    std::vector<std::string> layers;
    if (!OverlayLayers(mount.fs_options_text, layers)) {
        return true;
    }
    return std::any_of(layers.begin(), layers.end(), [&](const std::string &layer) {
        const Mount *top = nullptr;
        return WalkIsSlow(layer, top, depth + 1) || !top || Hangs(*top, depth + 1);
    });
}

const Mount *MountFacts::TopAt(const Mount *under, const std::string &directory) const {
    for (size_t steps = 0; under && steps <= mounts_.size(); ++steps) {
        auto over = children_.find({under->id, directory});
        if (over == children_.end()) {
            break;
        }
        under = &mounts_[over->second.back()];
    }
    return under;
}

bool MountFacts::WalkIsSlow(const std::string &path, const Mount *&top, int depth) const {
    const Mount *current = TopAt(root_, "/");
    if (!current) {
        return true;
    }
    const std::string normal = LexicallyNormal(path);
    std::string prefix;
    size_t start = 1;
    while (start < normal.size()) {
        const size_t end = std::min(normal.find('/', start), normal.size());
        // The name is looked up in the file system on top so far.
        if (Hangs(*current, depth)) {
            return true;
        }
        prefix.append(normal, start - 1, end - start + 1);
        current = TopAt(current, prefix);
        start = end + 1;
    }
    top = current;
    return false;
}

bool MountFacts::ReachedSlowly(const Mount &mount) const {
    const Mount *top = nullptr;
    if (WalkIsSlow(mount.target, top, 0)) {
        return true;
    }
    // A look at the directory asks what is on top there.
    return top != &mount && Hangs(*top);
}

const Mount *MountFacts::Holder(const Place &place) const {
    if (place.has_mount_id && place.mount_id != 0) {
        return place.mount_id <= static_cast<uint64_t>(std::numeric_limits<int>::max())
                   ? ById(static_cast<int>(place.mount_id))
                   : nullptr;
    }
    const Mount *holder = nullptr;
    for (const Mount &mount : mounts_) {
        if (mount.device == place.device && (!holder || Hangs(mount))) {
            holder = &mount;
        }
    }
    return holder;
}

}  // namespace winstub::this_machine

// Which mounts of a table are proven local, and which may wait for a FUSE
// daemon or a server (linux_mount_table.h).
#include <algorithm>
#include <functional>
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

// What LexicallyNormal makes of `path` is `path` itself: absolute, no empty,
// "." or ".." name, no trailing '/' but the root's. The kernel writes mount
// directories so.
bool IsLexicallyNormal(std::string_view path) {
    if (path.empty() || path.front() != '/') {
        return false;
    }
    if (path.size() == 1) {
        return true;
    }
    size_t start = 1;
    while (start <= path.size()) {
        const size_t end = std::min(path.find('/', start), path.size());
        const std::string_view name = path.substr(start, end - start);
        if (name.empty() || name == "." || name == "..") {
            return false;
        }
        start = end + 1;
    }
    return true;
}

constexpr std::string_view kRootDirectory = "/";

}  // namespace

MountFacts::MountFacts(const std::vector<Mount> &mounts, const DeviceFiles &files, LoopBacking loop_backing)
    : mounts_(mounts), files_(files), loop_backing_(std::move(loop_backing)) {
    by_id_.reserve(mounts.size());
    by_device_.reserve(mounts.size());
    children_.reserve(mounts.size());
    blocks_.reserve(mounts.size());
    hangs_.reserve(mounts.size());
    // A walk steps through each mount's directory and those above it.
    steps_.reserve(mounts.size() + 16);
    step_at_.reserve(mounts.size() + 16);
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
        // Of those mounted on one mount at one directory, the last is on top.
        children_[ChildKey{mount.parent_id, mount.target}] = i;
    }
}

const Mount *MountFacts::ById(int id) const {
    auto found = by_id_.find(id);
    return found == by_id_.end() ? nullptr : &mounts_[found->second];
}

std::optional<dev_t> MountFacts::Block(const Mount &mount) const {
    auto [known, unknown] = blocks_.try_emplace(mount.id);
    std::optional<dev_t> &block = known->second;
    if (unknown && !IsNetworkMount(mount)) {
        if (files_.IsBlockDevice(mount.device)) {
            block = mount.device;
        } else if (!IsFuse(mount) || mount.fstype == "fuseblk") {
            block = files_.DeviceOfSource(mount.source);
        }
    }
    return block;
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
        if (name->front() != '/' || WalkIsSlow(*name, false, top, depth + 1) || !top || Hangs(*top, depth + 1)) {
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
    // A reference stays valid while the questions below add entries.
    bool &hangs = known->second;
    if (unknown) {
        if (MayHang(mount) || depth > kDeepest) {
            return true;
        }
        std::optional<dev_t> block = Block(mount);
        hangs = (block && ReadsFromSlow(*block, depth)) || LayersAreSlow(mount, depth);
    }
    return hangs;
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
        return WalkIsSlow(layer, false, top, depth + 1) || !top || Hangs(*top, depth + 1);
    });
}

const Mount *MountFacts::TopAt(const Mount *under, std::string_view directory) const {
    for (size_t steps = 0; under && steps <= mounts_.size(); ++steps) {
        auto over = children_.find(ChildKey{under->id, directory});
        if (over == children_.end()) {
            break;
        }
        under = &mounts_[over->second];
    }
    return under;
}

size_t MountFacts::StepAt(std::string_view directory) const {
    if (auto known = step_at_.find(directory); known != step_at_.end()) {
        return known->second;
    }
    Step step;
    const Mount *under = root_;
    if (directory == kRootDirectory) {
        step.parent = kNoStep;
    } else {
        const size_t slash = directory.rfind('/');
        step.parent = StepAt(slash == 0 ? kRootDirectory : directory.substr(0, slash));
        under = steps_[step.parent].top;
    }
    step.top = TopAt(under, directory);
    steps_.push_back(step);
    step_at_.emplace(directory, steps_.size() - 1);
    return steps_.size() - 1;
}

bool MountFacts::ThroughSlow(size_t step, int depth) const {
    if (steps_[step].fast) {
        return false;
    }
    // Copied: the questions below may add steps.
    const Step at = steps_[step];
    if ((at.parent != kNoStep && ThroughSlow(at.parent, depth)) || Hangs(*at.top, depth)) {
        return true;
    }
    steps_[step].fast = true;
    return false;
}

bool MountFacts::WalkIsSlow(std::string_view path, bool table_text, const Mount *&top, int depth) const {
    if (!root_) {
        return true;
    }
    std::string_view normal = path;
    if (!table_text || !IsLexicallyNormal(path)) {
        paths_.push_back(LexicallyNormal(std::string(path)));
        normal = paths_.back();
    }
    // Each name is looked up in the file system on top at its parent directory.
    const size_t step = StepAt(normal);
    const size_t parent = steps_[step].parent;
    if (parent != kNoStep && ThroughSlow(parent, depth)) {
        return true;
    }
    top = steps_[step].top;
    return false;
}

bool MountFacts::ReachedSlowly(const Mount &mount) const {
    const Mount *top = nullptr;
    // Only the table's own text may be viewed for as long as this object lives.
    const std::less<const Mount *> before;
    const bool table_text = !before(&mount, mounts_.data()) && before(&mount, mounts_.data() + mounts_.size());
    if (WalkIsSlow(mount.target, table_text, top, 0)) {
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

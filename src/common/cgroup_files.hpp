// Where this process's control groups live on the file system (Linux only:
// elsewhere nothing calls into this unit and its source compiles to nothing). For one
// controller ("cpu", "memory") the group named in /proc/self/cgroup is found
// through the mounts of /proc/self/mountinfo, in the v1 hierarchy that carries
// the controller and in the unified (v2) hierarchy. A limit set on any ancestor
// of a group applies to it too, so readers visit the group's directory and then
// every ancestor up to the mount.
//
// Nothing here allocates (the memory ceiling reads these files from inside the
// module's allocator), and the paths and lines are too large for the small
// stacks the module may run on: a GroupFiles object lives in static storage,
// guarded by a lock of its owner, and is trivially destructible so that no exit
// path waits on it.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace vak::cgroup {

inline constexpr std::size_t kPathCapacity = 4096;

// A file-system path in fixed storage. An append that does not fit leaves the
// path unchanged and marks it as not fitting.
class PathBuffer {
public:
    void clear() noexcept {
        truncate(0);
        fits_ = true;
    }
    void append(std::string_view part) noexcept {
        if (part.size() >= kPathCapacity - length_) {
            fits_ = false;
            return;
        }
        std::memcpy(text_ + length_, part.data(), part.size());
        length_ += part.size();
        text_[length_] = '\0';
    }
    void assign(std::string_view text) noexcept {
        clear();
        append(text);
    }
    void truncate(std::size_t length) noexcept {
        length_ = length;
        text_[length_] = '\0';
    }
    std::size_t length() const noexcept { return length_; }
    bool room_for(std::size_t more) const noexcept { return more < kPathCapacity - length_; }
    bool fits() const noexcept { return fits_; }
    const char* c_str() const noexcept { return text_; }
    std::string_view view() const noexcept { return {text_, length_}; }

private:
    char text_[kPathCapacity] = {};
    std::size_t length_ = 0;
    bool fits_ = true;
};

// Reads a file line by line through a fixed buffer (files under /proc report no
// size). Lines longer than the buffer are skipped: no line looked for is.
class LineReader {
public:
    bool open(const char* path) noexcept;
    void close() noexcept;
    // The next line without its newline; false at the end or when not open.
    bool next(std::string_view& line) noexcept;

private:
    void fill() noexcept;

    int fd_ = -1;
    char buffer_[8192] = {};
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool eof_ = false;
};

enum class Controller { cpu, memory };
enum class Hierarchy { v1, v2 };

class GroupFiles {
public:
    // Finds this process's groups of `controller`; `fs_root` is prefixed to
    // every path read ("" for the real file system, a directory holding a fake
    // tree in tests). /proc/self/cgroup is read on every call, the mounts only
    // when the groups differ from those of the last call (the process moved).
    // False when no group directory is known.
    bool locate(const char* fs_root, Controller controller) noexcept;

    // Calls visit(Hierarchy) once for each located group's directory and once
    // for each of its ancestors up to the mount, the group's own first; inside
    // the call, read_line() reads files of that directory.
    template <class Visit>
    void for_each_directory(Visit visit) noexcept;

    // The first line of the file `name` in the directory being visited, without
    // its newline; empty when the file cannot be read. Valid until the next read.
    std::string_view read_line(std::string_view name) noexcept;

    // The directory being visited.
    std::string_view directory() const noexcept { return walk_.view(); }

    // Drops what the last call located (a forked child may inherit it half written).
    void forget() noexcept { located_ = false; }

private:
    struct Membership {
        PathBuffer v1;  // the group in the v1 hierarchy that carries the controller
        PathBuffer v2;  // the group in the unified hierarchy
        bool has_v1 = false;
        bool has_v2 = false;
    };
    struct GroupDirectory {
        PathBuffer path;               // fs_root + mount point + the group below the mount
        std::size_t mount_length = 0;  // where the walk up stops
        bool found = false;
    };

    bool read_membership(const char* fs_root, Controller controller) noexcept;
    bool same_as_located(const char* fs_root, Controller controller) const noexcept;
    void resolve_mounts(const char* fs_root, Controller controller) noexcept;

    bool located_ = false;
    Controller controller_ = Controller::cpu;
    PathBuffer root_;        // fs_root of the last call
    Membership located_in_;  // the groups the directories below belong to
    Membership listed_;      // the groups as just read
    GroupDirectory v1_;
    GroupDirectory v2_;
    PathBuffer walk_;  // the directory being visited; also builds the /proc paths
    PathBuffer mount_root_;
    PathBuffer mount_point_;
    LineReader lines_;
    char value_[256] = {};
};

template <class Visit>
void GroupFiles::for_each_directory(Visit visit) noexcept {
    const struct {
        const GroupDirectory& group;
        Hierarchy hierarchy;
    } hierarchies[] = {{v1_, Hierarchy::v1}, {v2_, Hierarchy::v2}};
    for (const auto& [group, hierarchy] : hierarchies) {
        if (!located_ || !group.found) continue;
        walk_.assign(group.path.view());
        for (;;) {
            visit(hierarchy);
            if (walk_.length() <= group.mount_length) break;
            const std::size_t slash = walk_.view().rfind('/');
            walk_.truncate(slash == std::string_view::npos || slash < group.mount_length
                               ? group.mount_length
                               : slash);
        }
    }
}

}  // namespace vak::cgroup

#include "common/cgroup_files.hpp"

#if defined(__linux__)

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace vak::cgroup {

namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(const char* path) noexcept : fd_(::open(path, O_RDONLY | O_CLOEXEC)) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

// Reads into [buffer, buffer + capacity) from the file's current position;
// the number of bytes read, 0 at the end or on an error.
std::size_t read_some(int fd, char* buffer, std::size_t capacity) noexcept {
    for (;;) {
        const ssize_t got = ::read(fd, buffer, capacity);
        if (got < 0 && errno == EINTR) continue;
        return got < 0 ? 0 : static_cast<std::size_t>(got);
    }
}

// Closes the reader on every path out of a scope.
class OpenLines {
public:
    OpenLines(LineReader& lines, const char* path) noexcept
        : lines_(lines), opened_(lines.open(path)) {}
    OpenLines(const OpenLines&) = delete;
    OpenLines& operator=(const OpenLines&) = delete;
    ~OpenLines() { lines_.close(); }
    bool opened() const noexcept { return opened_; }

private:
    LineReader& lines_;
    bool opened_;
};

// Splits off the next `separator`-delimited field of `rest`.
std::string_view next_field(std::string_view& rest, char separator) noexcept {
    const std::size_t at = rest.find(separator);
    const std::string_view field = rest.substr(0, at);
    rest = at == std::string_view::npos ? std::string_view() : rest.substr(at + 1);
    return field;
}

bool list_contains(std::string_view list, std::string_view item) noexcept {
    while (!list.empty()) {
        if (next_field(list, ',') == item) return true;
    }
    return false;
}

std::string_view controller_name(Controller controller) noexcept {
    return controller == Controller::memory ? "memory" : "cpu";
}

// mountinfo escapes space, tab, newline and backslash as \ooo.
void assign_unescaped(PathBuffer& out, std::string_view text) noexcept {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        char one = text[i];
        if (one == '\\' && i + 3 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '3' &&
            text[i + 2] >= '0' && text[i + 2] <= '7' && text[i + 3] >= '0' && text[i + 3] <= '7') {
            one = static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                    (text[i + 3] - '0'));
            i += 3;
        }
        out.append(std::string_view(&one, 1));
    }
}

// The part of `group` below the mount's root; false when the group is not
// visible through this mount.
bool relative_to_mount(std::string_view group, std::string_view mount_root,
                       std::string_view& relative) noexcept {
    if (mount_root == "/") {
        relative = group;
        return true;
    }
    if (group.substr(0, mount_root.size()) != mount_root) return false;
    relative = group.substr(mount_root.size());
    return relative.empty() || relative.front() == '/';
}

}  // namespace

bool LineReader::open(const char* path) noexcept {
    close();
    fd_ = ::open(path, O_RDONLY | O_CLOEXEC);
    begin_ = end_ = 0;
    eof_ = false;
    return fd_ >= 0;
}

void LineReader::close() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool LineReader::next(std::string_view& line) noexcept {
    if (fd_ < 0) return false;
    bool skipping = false;
    for (;;) {
        const void* newline = std::memchr(buffer_ + begin_, '\n', end_ - begin_);
        if (newline != nullptr) {
            const std::size_t stop = static_cast<const char*>(newline) - buffer_;
            const std::string_view found(buffer_ + begin_, stop - begin_);
            begin_ = stop + 1;
            if (skipping) {
                skipping = false;
                continue;
            }
            line = found;
            return true;
        }
        if (eof_) {
            if (begin_ == end_ || skipping) return false;
            line = std::string_view(buffer_ + begin_, end_ - begin_);
            begin_ = end_;
            return true;
        }
        if (begin_ == 0 && end_ == sizeof buffer_) {
            skipping = true;  // an over-long line: drop what we have
            end_ = 0;
        }
        std::memmove(buffer_, buffer_ + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
        fill();
    }
}

void LineReader::fill() noexcept {
    const std::size_t got = read_some(fd_, buffer_ + end_, sizeof buffer_ - end_);
    if (got == 0) eof_ = true;
    end_ += got;
}

bool GroupFiles::locate(const char* fs_root, Controller controller) noexcept {
    if (!read_membership(fs_root, controller)) {
        located_ = false;
        return false;
    }
    if (!same_as_located(fs_root, controller)) {
        located_ = false;
        resolve_mounts(fs_root, controller);
        root_.assign(fs_root);
        controller_ = controller;
        located_in_.v1.assign(listed_.v1.view());
        located_in_.v2.assign(listed_.v2.view());
        located_in_.has_v1 = listed_.has_v1;
        located_in_.has_v2 = listed_.has_v2;
        located_ = root_.fits();
    }
    return located_ && (v1_.found || v2_.found);
}

// "hierarchy-id:controllers:path" per line; v2's line is "0::path".
bool GroupFiles::read_membership(const char* fs_root, Controller controller) noexcept {
    listed_.has_v1 = listed_.has_v2 = false;
    listed_.v1.clear();
    listed_.v2.clear();
    walk_.assign(fs_root);
    walk_.append("/proc/self/cgroup");
    if (!walk_.fits()) return false;
    const OpenLines file(lines_, walk_.c_str());
    if (!file.opened()) return false;
    std::string_view line;
    while (lines_.next(line)) {
        const std::string_view id = next_field(line, ':');
        const std::string_view controllers = next_field(line, ':');
        if (id == "0" && controllers.empty() && !listed_.has_v2) {
            listed_.v2.assign(line);
            listed_.has_v2 = listed_.v2.fits();
        } else if (list_contains(controllers, controller_name(controller)) && !listed_.has_v1) {
            listed_.v1.assign(line);
            listed_.has_v1 = listed_.v1.fits();
        }
    }
    return listed_.has_v1 || listed_.has_v2;
}

bool GroupFiles::same_as_located(const char* fs_root, Controller controller) const noexcept {
    return located_ && controller == controller_ && root_.view() == fs_root &&
           listed_.has_v1 == located_in_.has_v1 && listed_.has_v2 == located_in_.has_v2 &&
           listed_.v1.view() == located_in_.v1.view() && listed_.v2.view() == located_in_.v2.view();
}

// Each hierarchy's first mount through which its group is visible.
void GroupFiles::resolve_mounts(const char* fs_root, Controller controller) noexcept {
    v1_.found = v2_.found = false;
    walk_.assign(fs_root);
    walk_.append("/proc/self/mountinfo");
    if (!walk_.fits()) return;
    const OpenLines file(lines_, walk_.c_str());
    std::string_view line;
    while (file.opened() && lines_.next(line)) {
        // id parent major:minor root mount-point options [optional...] - type source super-options
        std::string_view rest = line;
        for (int skip = 0; skip < 3; ++skip) next_field(rest, ' ');
        const std::string_view root = next_field(rest, ' ');
        const std::string_view point = next_field(rest, ' ');
        const std::size_t dash = rest.find(" - ");
        if (dash == std::string_view::npos) continue;
        rest = rest.substr(dash + 3);
        const std::string_view type = next_field(rest, ' ');
        next_field(rest, ' ');  // source
        const std::string_view super_options = rest;

        const bool is_v2 = type == "cgroup2" && listed_.has_v2 && !v2_.found;
        const bool is_v1 = type == "cgroup" && listed_.has_v1 && !v1_.found &&
                           list_contains(super_options, controller_name(controller));
        if (!is_v2 && !is_v1) continue;
        assign_unescaped(mount_root_, root);
        assign_unescaped(mount_point_, point);
        if (!mount_root_.fits() || !mount_point_.fits()) continue;
        std::string_view relative;
        if (!relative_to_mount(is_v2 ? listed_.v2.view() : listed_.v1.view(), mount_root_.view(),
                               relative)) {
            continue;
        }
        GroupDirectory& group = is_v2 ? v2_ : v1_;
        group.path.assign(fs_root);
        group.path.append(mount_point_.view());
        // A mount at "/" adds no component of its own.
        while (group.path.length() > 0 && group.path.view().back() == '/') {
            group.path.truncate(group.path.length() - 1);
        }
        group.mount_length = group.path.length();
        group.path.append(relative);
        while (group.path.length() > group.mount_length && group.path.view().back() == '/') {
            group.path.truncate(group.path.length() - 1);
        }
        group.found = group.path.fits();
    }
}

std::string_view GroupFiles::read_line(std::string_view name) noexcept {
    const std::size_t base = walk_.length();
    std::size_t length = 0;
    if (walk_.room_for(1 + name.size())) {
        walk_.append("/");
        walk_.append(name);
        const FileDescriptor file(walk_.c_str());
        if (file.get() >= 0) {
            std::size_t got = 0;
            while (length < sizeof value_ &&
                   (got = read_some(file.get(), value_ + length, sizeof value_ - length)) > 0) {
                length += got;
            }
        }
    }
    walk_.truncate(base);
    std::string_view text(value_, length);
    return text.substr(0, text.find('\n'));
}

}  // namespace vak::cgroup

#endif  // __linux__

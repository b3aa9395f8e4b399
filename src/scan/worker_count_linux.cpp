// The Linux readers behind worker_count_platform.hpp: the CPU affinity mask
// and the cgroup CPU quota, read from /proc and the cgroup file systems.
#include "scan/worker_count_platform.hpp"

#if defined(__linux__)

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>

#include "scan/worker_count.hpp"

namespace vak::scan {

namespace {

// Paths and lines live in fixed stack buffers: this runs once per process and
// the files involved are small.
constexpr std::size_t kPathCapacity = 4096;

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
    void truncate(std::size_t length) noexcept {
        length_ = length;
        text_[length_] = '\0';
    }
    std::size_t length() const noexcept { return length_; }
    bool fits() const noexcept { return fits_; }
    const char* c_str() const noexcept { return text_; }
    std::string_view view() const noexcept { return {text_, length_}; }

private:
    char text_[kPathCapacity] = {};
    std::size_t length_ = 0;
    bool fits_ = true;
};

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

// Reads a file line by line through a fixed buffer (files under /proc report
// no size). Lines longer than the buffer are skipped: no line we look for is.
class LineReader {
public:
    explicit LineReader(const char* path) noexcept : file_(path) {}
    bool opened() const noexcept { return file_.get() >= 0; }

    bool next(std::string_view& line) noexcept {
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

private:
    void fill() noexcept {
        for (;;) {
            const ssize_t got = ::read(file_.get(), buffer_ + end_, sizeof buffer_ - end_);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                eof_ = true;
                return;
            }
            end_ += static_cast<std::size_t>(got);
            return;
        }
    }

    FileDescriptor file_;
    char buffer_[8192];
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool eof_ = false;
};

// The first line of a small file, without its newline; empty when unreadable.
std::string_view read_first_line(const char* path, char (&buffer)[256]) noexcept {
    FileDescriptor file(path);
    if (file.get() < 0) return {};
    std::size_t length = 0;
    while (length < sizeof buffer) {
        const ssize_t got = ::read(file.get(), buffer + length, sizeof buffer - length);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        length += static_cast<std::size_t>(got);
    }
    std::string_view text(buffer, length);
    const std::size_t newline = text.find('\n');
    return newline == std::string_view::npos ? text : text.substr(0, newline);
}

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

// mountinfo escapes space, tab, newline and backslash as \ooo.
void append_unescaped(PathBuffer& out, std::string_view text) noexcept {
    char one[1];
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '3' &&
            text[i + 2] >= '0' && text[i + 2] <= '7' && text[i + 3] >= '0' && text[i + 3] <= '7') {
            one[0] = static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                       (text[i + 3] - '0'));
            i += 3;
        } else {
            one[0] = text[i];
        }
        out.append(std::string_view(one, 1));
    }
}

// Processors allowed by a quota of `quota` per `period`, rounded up.
std::uint64_t quota_cpus(std::uint64_t quota, std::uint64_t period) noexcept {
    if (period == 0) return 0;
    const std::uint64_t cpus = quota / period + (quota % period != 0 ? 1 : 0);
    return cpus == 0 ? 1 : cpus;
}

// "max 100000" is no limit; "150000 100000" is 2 processors.
std::uint64_t read_v2_limit(PathBuffer& dir) noexcept {
    const std::size_t base = dir.length();
    dir.append("/cpu.max");
    char buffer[256];
    std::string_view line = dir.fits() ? read_first_line(dir.c_str(), buffer) : std::string_view();
    dir.truncate(base);
    const std::uint64_t quota = parse_count(next_field(line, ' ')).value_or(0);
    const std::uint64_t period = parse_count(next_field(line, ' ')).value_or(0);
    return quota == 0 ? 0 : quota_cpus(quota, period);
}

// cpu.cfs_quota_us is -1 when unlimited, which parse_count refuses.
std::uint64_t read_v1_limit(PathBuffer& dir) noexcept {
    const std::size_t base = dir.length();
    char buffer[256];
    const auto read_value = [&](const char* name) -> std::uint64_t {
        dir.append(name);
        const std::uint64_t value =
            dir.fits() ? parse_count(read_first_line(dir.c_str(), buffer)).value_or(0) : 0;
        dir.truncate(base);
        return value;
    };
    const std::uint64_t quota = read_value("/cpu.cfs_quota_us");
    const std::uint64_t period = read_value("/cpu.cfs_period_us");
    return quota == 0 ? 0 : quota_cpus(quota, period);
}

void keep_smaller(std::uint64_t& best, std::uint64_t limit) noexcept {
    if (limit != 0 && (best == 0 || limit < best)) best = limit;
}

// The cgroup's directory below its mount, then every ancestor up to the mount
// itself: a quota on any of them applies to the process.
template <class ReadLimit>
std::uint64_t walk_up(const char* fs_root, std::string_view mount_point, std::string_view relative,
                      ReadLimit read_limit) noexcept {
    PathBuffer dir;
    dir.append(fs_root);
    dir.append(mount_point);
    const std::size_t mount_length = dir.length();
    dir.append(relative);
    if (!dir.fits()) return 0;
    while (dir.length() > mount_length && dir.view().back() == '/') dir.truncate(dir.length() - 1);
    std::uint64_t best = 0;
    for (;;) {
        keep_smaller(best, read_limit(dir));
        if (dir.length() <= mount_length) return best;
        const std::size_t slash = dir.view().rfind('/');
        dir.truncate(slash == std::string_view::npos || slash < mount_length ? mount_length
                                                                             : slash);
    }
}

// The part of `cgroup_path` below the mount's root; false when the cgroup is not
// visible through this mount.
bool relative_to_mount(std::string_view cgroup_path, std::string_view mount_root,
                       std::string_view& relative) noexcept {
    if (mount_root == "/") {
        relative = cgroup_path;
        return true;
    }
    if (cgroup_path.substr(0, mount_root.size()) != mount_root) return false;
    relative = cgroup_path.substr(mount_root.size());
    return relative.empty() || relative.front() == '/';
}

struct CgroupPaths {
    PathBuffer v2;  // from the "0::" line
    PathBuffer v1;  // from the line whose controllers include "cpu"
    bool has_v2 = false;
    bool has_v1 = false;
};

void read_process_cgroups(const char* fs_root, CgroupPaths& paths) noexcept {
    PathBuffer file;
    file.append(fs_root);
    file.append("/proc/self/cgroup");
    if (!file.fits()) return;
    LineReader lines(file.c_str());
    std::string_view line;
    while (lines.opened() && lines.next(line)) {
        const std::string_view id = next_field(line, ':');
        const std::string_view controllers = next_field(line, ':');
        const std::string_view path = line;
        if (id == "0" && controllers.empty() && !paths.has_v2) {
            paths.v2.append(path);
            paths.has_v2 = paths.v2.fits();
        } else if (list_contains(controllers, "cpu") && !paths.has_v1) {
            paths.v1.append(path);
            paths.has_v1 = paths.v1.fits();
        }
    }
}

}  // namespace

std::uint64_t cgroup_cpu_limit(const char* fs_root) noexcept {
    CgroupPaths paths;
    read_process_cgroups(fs_root, paths);
    if (!paths.has_v1 && !paths.has_v2) return 0;

    PathBuffer file;
    file.append(fs_root);
    file.append("/proc/self/mountinfo");
    if (!file.fits()) return 0;
    LineReader lines(file.c_str());
    std::string_view line;
    std::uint64_t best = 0;
    bool seen_v1 = false;
    bool seen_v2 = false;
    PathBuffer mount_root;
    PathBuffer mount_point;
    while (lines.opened() && lines.next(line)) {
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

        const bool is_v2 = type == "cgroup2" && paths.has_v2 && !seen_v2;
        const bool is_v1 =
            type == "cgroup" && paths.has_v1 && !seen_v1 && list_contains(super_options, "cpu");
        if (!is_v2 && !is_v1) continue;
        mount_root.clear();
        append_unescaped(mount_root, root);
        mount_point.clear();
        append_unescaped(mount_point, point);
        if (!mount_root.fits() || !mount_point.fits()) continue;
        std::string_view relative;
        if (!relative_to_mount(is_v2 ? paths.v2.view() : paths.v1.view(), mount_root.view(),
                               relative)) {
            continue;
        }
        if (is_v2) {
            seen_v2 = true;
            keep_smaller(best, walk_up(fs_root, mount_point.view(), relative, read_v2_limit));
        } else {
            seen_v1 = true;
            keep_smaller(best, walk_up(fs_root, mount_point.view(), relative, read_v1_limit));
        }
    }
    return best;
}

std::size_t affinity_cpus() noexcept {
    // Room for 65536 processors, so that no retry with a larger mask is needed.
    unsigned long mask[65536 / (8 * sizeof(unsigned long))] = {};
    std::size_t cpus = 0;
    if (::sched_getaffinity(0, sizeof mask, reinterpret_cast<cpu_set_t*>(mask)) == 0) {
        for (const unsigned long bits : mask) cpus += static_cast<std::size_t>(std::popcount(bits));
    }
    return cpus;
}

}  // namespace vak::scan

#endif  // __linux__

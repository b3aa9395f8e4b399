// Test driver for the control-group readers, built by the tests from the
// module's own source: prints what they find in a file-system tree.
//   cgroup_probe memory ROOT        the memory limit ("none" when unlimited), then
//                                   once more for every line read from stdin
//   cgroup_probe fork N             forks N children while another thread reads
//                                   the ceiling without pause; prints how many
//                                   children could read it too (within 3 s)
//   cgroup_probe dirs ROOT CONTROLLER
//                                   every directory visited, "v1 PATH" or
//                                   "v2 PATH", PATH without ROOT
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>

#include "common/cgroup_files.hpp"
#include "common/memory_ceiling.hpp"

namespace {

void print_memory_limit(const char* root) {
    const std::size_t limit = vak::heap::cgroup_memory_limit(root);
    if (limit == vak::heap::kNoMemoryLimit) {
        std::puts("none");
    } else {
        std::printf("%zu\n", limit);
    }
    std::fflush(stdout);
}

// Static like the module's own readers: far too large for a stack frame.
vak::cgroup::GroupFiles g_files;

int fork_while_reading(int children) {
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop.load()) vak::heap::memory_ceiling();
    });
    int ok = 0;
    for (int i = 0; i < children; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::alarm(3);  // a child that inherited the reader's lock held never gets it
            _exit(vak::heap::memory_ceiling() > 0 ? 0 : 1);
        }
        int status = 0;
        if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
            WEXITSTATUS(status) == 0) {
            ++ok;
        }
    }
    stop.store(true);
    reader.join();
    std::printf("children ok %d/%d\n", ok, children);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "memory") == 0) {
        print_memory_limit(argv[2]);
        char line[64];
        while (std::fgets(line, sizeof line, stdin) != nullptr) print_memory_limit(argv[2]);
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "fork") == 0) {
        return fork_while_reading(std::atoi(argv[2]));
    }
    if (argc == 4 && std::strcmp(argv[1], "dirs") == 0) {
        const std::string_view name = argv[3];
        const auto controller =
            name == "memory" ? vak::cgroup::Controller::memory : vak::cgroup::Controller::cpu;
        const std::size_t root_length = std::strlen(argv[2]);
        if (!g_files.locate(argv[2], controller)) return 0;
        g_files.for_each_directory([&](vak::cgroup::Hierarchy hierarchy) {
            const std::string_view dir = g_files.directory().substr(root_length);
            std::printf("%s %.*s\n", hierarchy == vak::cgroup::Hierarchy::v1 ? "v1" : "v2",
                        static_cast<int>(dir.size()), dir.data());
        });
        return 0;
    }
    return 2;
}

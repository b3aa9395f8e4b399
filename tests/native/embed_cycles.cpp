// An embedding program that starts and finalises the interpreter several times in
// one process, as an application embedding Python may:
//   embed_cycles PYTHON SCRIPT CYCLES
// Every cycle initialises the interpreter (as the program PYTHON, the interpreter
// it was built for, so that it finds that interpreter's library), runs the Python
// file SCRIPT and finalises the interpreter.
// Cycle 1 runs on the program's main thread and every later cycle on a thread of
// its own (the main thread waits for it), so that later cycles see a main
// interpreter thread other than the first one's. After each cycle the program
// prints "cycle K rss_kib=N", N being the resident memory a second after
// finalisation.
// Exit status: 0 when every cycle ran its script without an uncaught exception.
#include <Python.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

long resident_kib() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

bool run_cycle(const char* python, const std::string& script, int cycle) {
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    PyStatus status = PyConfig_SetBytesString(&config, &config.program_name, python);
    if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) {
        std::fprintf(stderr, "cycle %d: the interpreter did not start: %s\n", cycle,
                     status.err_msg != nullptr ? status.err_msg : "?");
        return false;
    }
    bool ok = PyRun_SimpleString(script.c_str()) == 0;
    if (Py_FinalizeEx() < 0) ok = false;
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s PYTHON SCRIPT CYCLES\n", argv[0]);
        return 2;
    }
    const char* python = argv[1];
    std::ifstream file(argv[2]);
    std::stringstream text;
    text << file.rdbuf();
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", argv[2]);
        return 2;
    }
    const std::string script = text.str();
    const int cycles = std::atoi(argv[3]);

    bool ok = true;
    for (int cycle = 1; cycle <= cycles && ok; ++cycle) {
        if (cycle == 1) {
            ok = run_cycle(python, script, cycle);
        } else {
            std::thread worker([&] { ok = run_cycle(python, script, cycle); });
            worker.join();
        }
        // The module gives large freed blocks back to the system once it is quiet
        // for 300 ms: measure after that, not while the last cycle's are pending.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        std::printf("cycle %d rss_kib=%ld\n", cycle, resident_kib());
        std::fflush(stdout);
    }
    return ok ? 0 : 1;
}

// Entry point. On x86-64 this file and the processor check are compiled for the plain x86-64
// level, so that a processor without this build's features gets a message instead of a crash.
#include <cstdio>
#include <string>

#include "uci/cpu_check.h"
#include "uci/run.h"

int main(int argc, char** argv) {
    const std::string message = orvane::cpu::startup_problem();
    if (!message.empty()) {
        std::printf("info string %s\n", message.c_str());
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", message.c_str());
        return 1;
    }
    return orvane::uci::run(argc, argv);
}

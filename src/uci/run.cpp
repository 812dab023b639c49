#include "uci/run.h"

#include <iostream>
#include <string>

#include "uci/cpu_check.h"
#include "core/board/text.h"
#include "uci/bench_command.h"
#include "uci/engine.h"
#include "uci/output.h"

namespace orvane::uci {

int run(int argc, char** argv) {
    try {
        std::vector<std::string_view> args(argv + 1, argv + argc);
        // `orvane bench [depth] [verbose] [hce]`: the words form one command, then the program
        // ends (the form testing frameworks call).
        if (!args.empty() && args[0] == "bench") {
            run_bench({args.begin() + 1, args.end()});
            return 0;
        }
        write_line(std::string(ENGINE_NAME) + " (" + std::string(cpu::BUILD_LEVEL) + ")");
        Engine engine;
        // Each other argument is a command line, run in order before standard input is read
        // (`orvane "genfens 8 seed 1 book None" quit`); a quit among them ends the program.
        for (std::string_view arg : args)
            if (!engine.handle(text::trim(arg))) return 0;
        std::string line;
        while (std::getline(std::cin, line)) {
            // A GUI on Windows may end its lines with CR LF.
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!engine.handle(text::trim(line))) break;
        }
        engine.end_of_input();
    } catch (const FatalError&) {
        return 1;
    }
    return 0;
}

}  // namespace orvane::uci

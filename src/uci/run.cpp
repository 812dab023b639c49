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
        if (!args.empty() && args[0] == "bench") {
            run_bench({args.begin() + 1, args.end()});
            return 0;
        }
        write_line(std::string(ENGINE_NAME) + " (" + std::string(cpu::BUILD_LEVEL) + ")");
        Engine engine;
        std::string line;
        while (std::getline(std::cin, line)) {
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

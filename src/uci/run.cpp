#include "uci/run.h"

#include <iostream>
#include <string>

#include "core/cpu.h"
#include "core/text.h"
#include "uci/engine.h"
#include "uci/output.h"

namespace orvane::uci {

int run(int argc, char** argv) {
    try {
        write_line(std::string(ENGINE_NAME) + " (" + std::string(cpu::BUILD_LEVEL) + ")");
        Engine engine;
        std::string line;
        while (std::getline(std::cin, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!engine.handle(text::trim(line))) break;
        }
    } catch (const FatalError&) {
        return 1;
    }
    (void)argc;
    (void)argv;
    return 0;
}

}  // namespace orvane::uci

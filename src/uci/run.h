// Everything after the processor check: the command-line "bench" form, or the UCI loop.
#pragma once

namespace orvane::uci {
int run(int argc, char** argv);
}

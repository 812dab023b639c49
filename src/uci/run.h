// Everything after the processor check: the command-line "bench" form, or the commands given
// as arguments and then the UCI loop on standard input.
#pragma once

namespace orvane::uci {
int run(int argc, char** argv);
}

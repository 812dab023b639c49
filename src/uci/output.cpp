#include "uci/output.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace orvane::uci {
namespace {
std::mutex output_lock;
}

void write_raw(std::string_view text) {
    std::lock_guard lock(output_lock);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void write_line(std::string_view line) {
    std::string text(line);
    text += '\n';
    write_raw(text);
}

void info_string(std::string_view text) {
    std::string line = "info string ";
    line += text;
    write_line(line);
}

}  // namespace orvane::uci

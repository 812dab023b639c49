// The built-in network. Its bytes come from the assembler object beside this file; both
// belong to the orvane_net library, which the engine, the tests and the benchmarks link and
// the network generator does not.
#include <cstdint>
#include <span>

#include "core/eval/nnue/network.h"

extern "C" const std::uint8_t orvane_default_net_begin[];
extern "C" const std::uint8_t orvane_default_net_end[];

namespace orvane::nnue {

std::shared_ptr<const Network> default_net() {
    // Built on first use under the compiler's one-time guard; nothing runs before main.
    static const std::shared_ptr<const Network> net = [] {
        std::span<const std::uint8_t> bytes(orvane_default_net_begin, orvane_default_net_end);
        NetworkResult result = Network::from_bytes(bytes);
        if (auto* error = std::get_if<NetworkError>(&result))
            fatal("the embedded network is invalid: " + error->message);
        return std::get<std::shared_ptr<const Network>>(std::move(result));
    }();
    return net;
}

}  // namespace orvane::nnue

// Reading and writing the router network files: little-endian 32-bit words and float arrays,
// one after the other in file order. The loaders read through ByteReader and serialise
// writes back with the put_ functions, so both directions agree on one layout.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::router {

static_assert(std::endian::native == std::endian::little, "router files are read in place");

// Sequential reading from `offset`. Every read is checked against the end of the file before
// anything is allocated, so a header that promises huge arrays cannot make a loader allocate
// more than the file holds. The first short read records an error (naming `format`); every
// read after it does nothing.
struct ByteReader {
    std::span<const std::uint8_t> bytes;
    std::uint64_t offset = 0;
    std::string_view format;  // the file kind, for the error ("RRT5")
    std::optional<std::string> error;

    std::uint32_t u32();
    float f32();
    void floats(std::vector<float>& dst, std::uint64_t count);
    // `count` floats into entries [0, count) of each of `groups` groups of `stride` (the
    // rest of each group is zero).
    void grouped(std::vector<float>& dst, int groups, int stride, int count);

private:
    bool fits(std::uint64_t size);  // records the error when not
    void take(void* dst, std::uint64_t size);
};

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v);
void put_floats(std::vector<std::uint8_t>& out, std::span<const float> v);

}  // namespace orvane::router

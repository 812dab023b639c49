#include "core/router/router_bytes.h"

#include <cstring>

namespace orvane::router {

bool ByteReader::fits(std::uint64_t size) {
    if (error) return false;
    if (size <= bytes.size() - offset) return true;
    error = "truncated " + std::string(format) + " file at byte " + std::to_string(offset)
            + ", need " + std::to_string(size) + " more";
    return false;
}

void ByteReader::take(void* dst, std::uint64_t size) {
    if (!fits(size)) return;
    if (size) std::memcpy(dst, bytes.data() + offset, size);
    offset += size;
}

std::uint32_t ByteReader::u32() {
    std::uint32_t v = 0;
    take(&v, 4);
    return v;
}

float ByteReader::f32() {
    float v = 0.0f;
    take(&v, 4);
    return v;
}

void ByteReader::floats(std::vector<float>& dst, std::uint64_t count) {
    if (!fits(count * 4)) return;
    dst.resize(count);
    take(dst.data(), count * 4);
}

void ByteReader::grouped(std::vector<float>& dst, int groups, int stride, int count) {
    dst.assign(static_cast<std::size_t>(groups) * stride, 0.0f);
    for (int g = 0; g < groups; ++g) take(dst.data() + static_cast<std::size_t>(g) * stride, count * 4);
}

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    const std::size_t at = out.size();
    out.resize(at + 4);
    std::memcpy(out.data() + at, &v, 4);
}

void put_floats(std::vector<std::uint8_t>& out, std::span<const float> v) {
    const std::size_t at = out.size();
    out.resize(at + v.size() * 4);
    if (!v.empty()) std::memcpy(out.data() + at, v.data(), v.size() * 4);
}

}  // namespace orvane::router

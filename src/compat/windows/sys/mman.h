// Anonymous memory mappings for Windows, in the shape of POSIX <sys/mman.h>: the transposition
// table maps its slots straight from the system and gives back the unaligned ends. Only what
// the engine calls is here: private anonymous read-write mappings, unmapping whole pages of
// them, and advice (ignored). Found before the system headers in Windows builds only.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#define PROT_NONE 0x0
#define PROT_READ 0x1
#define PROT_WRITE 0x2
#define MAP_PRIVATE 0x02
#define MAP_ANONYMOUS 0x20
#define MAP_FAILED (reinterpret_cast<void*>(-1))
#define MADV_HUGEPAGE 14

inline void* mmap(void* addr, std::size_t length, int prot, int flags, int fd, long offset) {
    if (addr != nullptr || fd != -1 || offset != 0 || !(flags & MAP_ANONYMOUS)
        || prot != (PROT_READ | PROT_WRITE)) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    void* p = VirtualAlloc(nullptr, length, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (p == nullptr) {
        errno = ENOMEM;
        return MAP_FAILED;
    }
    return p;
}

// Windows releases a reservation only whole, from its base. The pages asked for are
// decommitted; once no page of the reservation is left committed, it is released.
inline int munmap(void* addr, std::size_t length) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const auto start = reinterpret_cast<std::uintptr_t>(addr);
    if (start % info.dwPageSize != 0 || length == 0) {
        errno = EINVAL;
        return -1;
    }
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(addr, &region, sizeof region) == 0 || region.AllocationBase == nullptr) {
        errno = EINVAL;
        return -1;
    }
    void* const base = region.AllocationBase;
    if (!VirtualFree(addr, length, MEM_DECOMMIT)) {
        errno = EINVAL;
        return -1;
    }
    auto* p = static_cast<char*>(base);
    while (VirtualQuery(p, &region, sizeof region) != 0 && region.AllocationBase == base) {
        if (region.State == MEM_COMMIT) return 0;
        p += region.RegionSize;
    }
    VirtualFree(base, 0, MEM_RELEASE);
    return 0;
}

inline int madvise(void*, std::size_t, int) { return 0; }

#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

// The vtable slot a pointer to a virtual member function designates, or -1
// for a non-virtual one. Itanium C++ ABI; on ARM the virtual flag moves from
// the pointer word to the adjustment word.
template <typename F>
long VirtualSlot(F f)
{
    struct Rep {
        std::uintptr_t ptr;
        std::ptrdiff_t adj;
    } rep;
    static_assert(sizeof(F) == sizeof(Rep), "unexpected member pointer layout");
    std::memcpy(&rep, &f, sizeof rep);
#if defined(__arm__) || defined(__aarch64__)
    if ((rep.adj & 1) == 0) return -1;
    return static_cast<long>(rep.ptr / sizeof(void*));
#else
    if ((rep.ptr & 1) == 0) return -1;
    return static_cast<long>((rep.ptr - 1) / sizeof(void*));
#endif
}

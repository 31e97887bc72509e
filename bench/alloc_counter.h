#pragma once
#include <cstddef>

// Heap allocations made by operator new in this process so far.
std::size_t AllocationCount();

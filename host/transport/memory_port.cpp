#include "memory_port.h"

long MemoryPort::Read(unsigned char* buffer, size_t size)
{
    if (!open_) return -1;
    size_t n = 0;
    while (n < size && !input_.empty()) {
        buffer[n++] = input_.front();
        input_.pop_front();
    }
    return static_cast<long>(n);
}

bool MemoryPort::Write(const unsigned char* data, size_t size)
{
    if (!open_) return false;
    written_.emplace_back(reinterpret_cast<const char*>(data), size);
    return true;
}

std::string MemoryPort::TakeWritten()
{
    std::string all;
    for (const std::string& w : written_) all += w;
    written_.clear();
    return all;
}

#pragma once
#include <cstring>

#include "no_value.h"

// Walks a reply section. Every read compares the count first and is
// all-or-nothing; the first read that would pass the end fails the reader,
// records where that read would have ended, and every later read fails too.
class ByteReader {
public:
    ByteReader(const unsigned char* data, int len) : data_(data), len_(data != nullptr && len > 0 ? len : 0) {}

    int Length() const { return len_; }
    int Position() const { return pos_; }
    int Remaining() const { return len_ - pos_; }
    bool Failed() const { return failed_; }
    // Where the layout reached: the position, or where the failed read would have ended.
    int Reached() const { return failed_ ? reached_ : pos_; }

    bool Has(int n)
    {
        if (failed_) return false;
        if (n < 0 || n > len_ - pos_) {
            failed_ = true;
            reached_ = pos_ + (n < 0 ? 0 : n);
            return false;
        }
        return true;
    }
    bool Read(void* out, int n)
    {
        if (!Has(n)) return false;
        if (n > 0) std::memcpy(out, data_ + pos_, static_cast<size_t>(n));
        pos_ += n;
        return true;
    }
    bool ReadU8(unsigned char& out) { return Read(&out, 1); }
    // One IEEE-754 single-precision value, byte for byte as sent. `field` is
    // a float or a packed record's float member, written through memcpy.
    bool ReadFloat(void* field) { return Read(field, 4); }
    // The same, but the no-value marker (four equal non-zero bytes) stores
    // `missing` instead; four zero bytes are a real 0.0.
    bool ReadFloatOr(void* field, float missing)
    {
        if (!Has(4)) return false;
        std::memcpy(field, IsNoValueMarker(data_ + pos_) ? static_cast<const void*>(&missing) : data_ + pos_, 4);
        pos_ += 4;
        return true;
    }
    bool Skip(int n)
    {
        if (!Has(n)) return false;
        pos_ += n;
        return true;
    }
    // The next n bytes without consuming them, or nullptr.
    const unsigned char* Peek(int n) { return Has(n) ? data_ + pos_ : nullptr; }

private:
    const unsigned char* data_;
    int len_;
    int pos_ = 0;
    int reached_ = 0;
    bool failed_ = false;
};

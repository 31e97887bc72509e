#pragma once
#include <cstring>

// Four equal bytes stand for "no value" in a 4-byte field; zero bytes are a real 0.0.
inline bool AllBytesEqual(const unsigned char* b) { return b[0] == b[1] && b[1] == b[2] && b[2] == b[3]; }
inline bool IsNoValueMarker(const unsigned char* b) { return b[0] != 0 && AllBytesEqual(b); }

// The byte image of -0.1f (0xBDCCCCCD), stored for some missing values.
inline void StoreMinusPointOne(void* field)
{
    const float v = -0.1f;
    std::memcpy(field, &v, 4);
}

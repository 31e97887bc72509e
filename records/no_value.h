#pragma once

// Four equal bytes stand for "no value" in a 4-byte field; zero bytes are a real 0.0.
inline bool AllBytesEqual(const unsigned char* b) { return b[0] == b[1] && b[1] == b[2] && b[2] == b[3]; }
inline bool IsNoValueMarker(const unsigned char* b) { return b[0] != 0 && AllBytesEqual(b); }

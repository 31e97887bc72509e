#pragma once

// A record field that exists only for a non-zero template size: C++17 has no
// zero-byte member, so a record's fields are written once in a macro and
// instantiated per combination of present and absent arrays, with
// VX42B_FIELD_IF_##HAS(declaration).
#define VX42B_FIELD_IF_true(...) __VA_ARGS__
#define VX42B_FIELD_IF_false(...)

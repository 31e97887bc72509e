#pragma once
#include <string>
#include <type_traits>

// A type-erased log argument, so that the plug-in never needs the formatter.
struct LogArg {
    enum Kind { Signed, Unsigned, Real, Text };
    Kind kind = Text;
    long long i = 0;
    unsigned long long u = 0;
    double d = 0;
    std::string s;

    template <typename T, typename std::enable_if<std::is_integral<T>::value && std::is_signed<T>::value &&
                                                      !std::is_same<T, char>::value,
                                                  int>::type = 0>
    LogArg(T v) : kind(Signed), i(v)
    {}
    template <typename T, typename std::enable_if<std::is_integral<T>::value && std::is_unsigned<T>::value &&
                                                      !std::is_same<T, bool>::value,
                                                  int>::type = 0>
    LogArg(T v) : kind(Unsigned), u(v)
    {}
    LogArg(bool v) : kind(Unsigned), u(v ? 1 : 0) {}
    LogArg(char c) : kind(Text), s(1, c) {}
    LogArg(float v) : kind(Real), d(v) {}
    LogArg(double v) : kind(Real), d(v) {}
    LogArg(const char* v) : kind(Text), s(v ? v : "") {}
    LogArg(std::string v) : kind(Text), s(std::move(v)) {}
};

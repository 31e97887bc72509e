// The analog parser's trace line writes each value as the standard stream's
// default format would.
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "VX42BAC.h"

namespace {

void Put(std::vector<unsigned char>& out, float v)
{
    unsigned char b[4];
    std::memcpy(b, &v, 4);
    out.insert(out.end(), b, b + 4);
}

TEST(AcTrace, ValuesAreWrittenAsTheStreamWritesThem)
{
    const float values[][4] = {
        {220.f, 230.5f, 0.1f, 50.f},
        {-0.0f, 1e-05f, 123456789.f, 0.000123456f},
        {FLT_MAX, -FLT_MAX, FLT_MIN, std::numeric_limits<float>::denorm_min()},
        {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
         std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN()},
        {999999.5f, 1e6f, 0.0001f, 100000.f},
    };
    for (const auto& v : values) {
        std::vector<unsigned char> section{1};
        for (float x : v) Put(section, x);
        section.push_back(0);
        for (int k = 0; k < 3; ++k) Put(section, 1.f);
        VX42BAC ac;
        ::testing::internal::CaptureStdout();
        const int used = ac.parse40_41(section.data(), static_cast<int>(section.size()));
        const std::string got = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(used, static_cast<int>(section.size()));
        std::ostringstream expected;
        expected << "a:" << v[0] << " b:" << v[1] << " c:" << v[2] << " f:" << v[3] << '\n';
        EXPECT_EQ(got, expected.str());
    }
}

}  // namespace

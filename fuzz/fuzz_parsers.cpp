// Every sub-device parser on arbitrary sections, several in a row on one device.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "VX42B.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto ac = std::make_shared<VX42BAC>();
    auto dc = std::make_shared<VX42BDC>();
    auto rc = std::make_shared<VX42BRC>();
    size_t pos = 0;
    while (pos + 2 <= size) {
        const unsigned which = data[pos] % 10;
        const size_t n = data[pos + 1];
        pos += 2;
        const size_t len = n < size - pos ? n : size - pos;
        // An exactly-sized copy, so any read past the section is caught.
        std::vector<unsigned char> section(data + pos, data + pos + len);
        const unsigned char* p = section.data();
        const int l = static_cast<int>(section.size());
        switch (which) {
        case 0: ac->parse40_41(p, l); break;
        case 1: ac->parse40_43(p, l); break;
        case 2: ac->parse40_44(p, l); break;
        case 3: dc->parse42_41(p, l); break;
        case 4: dc->parse42_44(p, l); break;
        case 5: rc->parse41_41(p, l); break;
        case 6: rc->parse41_43(p, l); break;
        case 7: rc->parse41_44(p, l); break;
        case 8: rc->parse40_46(p, l); break;
        default: rc->parse42_46(p, l); break;
        }
        pos += len;
    }
    ac->RoundDone();
    dc->RoundDone();
    rc->RoundDone();
    return 0;
}

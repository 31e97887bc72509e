#pragma once
// Placeholder until the AC sub-device lands.
#include <vector>

#include "SMDSPDevice.h"

template <class TeleAC, class TeleACChannel, int RT_AC>
class PMBusPowerAC : public SMDSPDevice {
public:
    bool LoadFromCache(const unsigned char*, int) override { return false; }
    virtual int parse40_41(const unsigned char*, int) { return -1; }
    virtual int parse40_43(const unsigned char*, int) { return -1; }
    virtual int parse40_44(const unsigned char*, int) { return -1; }
    virtual void DoImpCheckAlert() = 0;
};

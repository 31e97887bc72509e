#pragma once
// Placeholder until the DC sub-device lands.
#include "SMDSPDevice.h"

template <class TeleDC, int RT_DC>
class PMBusPowerDC : public SMDSPDevice {
public:
    bool LoadFromCache(const unsigned char*, int) override { return false; }
    virtual int parse42_41(const unsigned char*, int) { return -1; }
    virtual int parse42_44(const unsigned char*, int) { return -1; }
    virtual void DoImpCheckAlert() = 0;
};

#pragma once
// Placeholder until the rectifier sub-device lands.
#include "SMDSPDevice.h"

template <class TeleRC, class TeleRCChannel, int RT_RC>
class PMBusPowerRC : public SMDSPDevice {
public:
    bool LoadFromCache(const unsigned char*, int) override { return false; }
    virtual int parse41_41(const unsigned char*, int) { return -1; }
    virtual int parse41_43(const unsigned char*, int) { return -1; }
    virtual int parse41_44(const unsigned char*, int) { return -1; }
    virtual int parse40_46(const unsigned char*, int) { return -1; }
    virtual int parse42_46(const unsigned char*, int) { return -1; }
    virtual void DoImpCheckAlert() {}
};

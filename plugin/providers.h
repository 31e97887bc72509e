#pragma once
#include <memory>
#include <vector>

#include "Provider.h"

class VX42BProvider : public SMDSPDeviceProvider {
public:
    ~VX42BProvider() override;
    SMDSPDevice* create() const override;
};

class VX42BACProvider : public SMDSPDeviceProvider {
public:
    ~VX42BACProvider() override;
    SMDSPDevice* create() const override;
};

class VX42BDCProvider : public SMDSPDeviceProvider {
public:
    ~VX42BDCProvider() override;
    SMDSPDevice* create() const override;
};

class VX42BRCProvider : public SMDSPDeviceProvider {
public:
    ~VX42BRCProvider() override;
    SMDSPDevice* create() const override;
};

// C linkage for an unmangled name; host and plug-in share one C++ library.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" std::vector<std::shared_ptr<Provider>> get_providers();
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

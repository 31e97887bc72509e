#include "providers.h"

extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>> get_providers()
{
    std::vector<std::shared_ptr<Provider>> providers;
    providers.push_back(std::make_shared<VX42BProvider>());
    providers.push_back(std::make_shared<VX42BACProvider>());
    providers.push_back(std::make_shared<VX42BDCProvider>());
    providers.push_back(std::make_shared<VX42BRCProvider>());
    return providers;
}

// A plug-in whose device refuses every configuration: lets the tests reach
// the poller's handling of an Init that returns false.
#include <memory>
#include <vector>

#include "Provider.h"
#include "SMDSPDevice.h"

namespace {

class RefusingDevice : public SMDSPDevice {
public:
    bool InitSetting(const Json::Value&) override
    {
        InfoLog("RefusingDevice:ConfigError {} nothing is good enough", DataId());
        return false;
    }
};

class RefusingProvider : public SMDSPDeviceProvider {
public:
    SMDSPDevice* create() const override { return new RefusingDevice(); }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>> get_providers()
{
    return {std::make_shared<RefusingProvider>()};
}

#include <dlfcn.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "Provider.h"
#include "SMDSPDevice.h"

namespace {

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

struct Library {
    void* handle = nullptr;
    GetProviders get = nullptr;
    Library()
    {
        const char* path = std::getenv("VX42B_PLUGIN");
        if (path != nullptr) handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (handle != nullptr) get = reinterpret_cast<GetProviders>(dlsym(handle, "get_providers"));
    }
    ~Library()
    {
        if (handle != nullptr) dlclose(handle);
    }
};

TEST(PluginEntry, LoadsAndYieldsFourProvidersInOrder)
{
    Library lib;
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    ASSERT_NE(lib.get, nullptr);

    auto providers = lib.get();
    ASSERT_EQ(providers.size(), 4u);
    const char* types[] = {"vx42b", "vx42b-ac", "vx42b-dc", "vx42b-rc"};
    for (size_t k = 0; k < 4; ++k) {
        auto* factory = dynamic_cast<SMDSPDeviceProvider*>(providers[k].get());
        ASSERT_NE(factory, nullptr);
        std::unique_ptr<SMDSPDevice> device(factory->create());
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(device->DeviceType(), types[k]);
    }
    auto again = lib.get();
    for (size_t k = 0; k < 4; ++k) EXPECT_NE(again[k].get(), providers[k].get());
}

TEST(PluginEntry, LoadedMainDeviceReadsConfigurationAndListsChildren)
{
    Library lib;
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    ASSERT_NE(lib.get, nullptr);
    auto providers = lib.get();
    auto* factory = dynamic_cast<SMDSPDeviceProvider*>(providers.at(0).get());
    ASSERT_NE(factory, nullptr);
    std::shared_ptr<SMDSPDevice> device(factory->create());
    auto controller = std::make_shared<SMDController>();
    Json::Value config;
    config["acSetting"][0]["data_id"] = 11;
    config["acSetting"][1]["data_id"] = 12;
    config["dcSetting"][0]["data_id"] = 21;
    config["rcSetting"] = Json::Value(Json::objectValue);
    ASSERT_TRUE(device->Init(controller, 1, config));
    auto children = device->GetAllChildVDevices();
    ASSERT_EQ(children.size(), 4u);
    const char* types[] = {"vx42b-ac", "vx42b-ac", "vx42b-dc", "vx42b-rc"};
    const unsigned ids[] = {11, 12, 21, 1};
    for (size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(children[k]->DeviceType(), types[k]);
        EXPECT_EQ(children[k]->DataId(), ids[k]);
    }
    EXPECT_EQ(device->GetChildVDevice(21), children[2]);
}

TEST(PluginEntry, ExportsNothingButGetProviders)
{
    Library lib;
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    // Internal names must stay inside the library.
    EXPECT_EQ(dlsym(lib.handle, "_ZN5VX42BC1Ev"), nullptr);
    EXPECT_EQ(dlsym(lib.handle, "_ZNK13VX42BProvider6createEv"), nullptr);
}

}  // namespace

#include "plugin_loader.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstring>
#include <cstdlib>
#include <exception>

namespace vxpoll {

namespace {
using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();
}  // namespace

std::vector<std::string> DefaultPluginCandidates(const std::string& exeDir, const std::string& builtPath)
{
    std::vector<std::string> out;
    if (!exeDir.empty()) {
        out.push_back(exeDir + "/libvx42b.so");
        // Where the package installs it, relative so that an unpacked tree works too.
        out.push_back(exeDir + "/../lib/vx42b/libvx42b.so");
        out.push_back(exeDir + "/../../libvx42b.so");
    }
    if (!builtPath.empty()) out.push_back(builtPath);
    return out;
}

std::string ExecutableDir()
{
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    std::string path(buf, static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

Plugin::~Plugin()
{
    providers_.clear();
    // The library stays mapped: devices, work items and their std::function
    // targets may still point into it while the process winds down.
}

bool Plugin::Load(const std::string& path, std::string& error)
{
    dlerror();
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        error = "cannot load plug-in " + path + ": " + (why != nullptr ? why : "unknown error");
        return false;
    }
    dlerror();
    void* symbol = ::dlsym(handle, "get_providers");
    if (symbol == nullptr) {
        error = "plug-in " + path + " has no get_providers";
        ::dlclose(handle);
        return false;
    }
    GetProviders get = nullptr;
    static_assert(sizeof get == sizeof symbol, "function and data pointers differ in size");
    std::memcpy(&get, &symbol, sizeof get);
    try {
        providers_ = get();
    } catch (const std::exception& e) {
        error = "plug-in " + path + ": get_providers failed: " + e.what();
        return false;
    }
    if (providers_.empty() || !providers_.front()) {
        error = "plug-in " + path + " offers no provider";
        return false;
    }
    handle_ = handle;
    char resolved[PATH_MAX];
    path_ = ::realpath(path.c_str(), resolved) != nullptr ? resolved : path;
    return true;
}

std::shared_ptr<SMDSPDevice> Plugin::CreateMainDevice(std::string& error) const
{
    const auto* factory =
        providers_.empty() ? nullptr : dynamic_cast<const SMDSPDeviceProvider*>(providers_.front().get());
    if (factory == nullptr) {
        error = "the plug-in's first provider makes no serial device";
        return nullptr;
    }
    std::shared_ptr<SMDSPDevice> device(factory->create());
    if (!device) error = "the plug-in's first provider returned no device";
    return device;
}

}  // namespace vxpoll

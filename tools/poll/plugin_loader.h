#pragma once
#include <memory>
#include <string>
#include <vector>

#include "Provider.h"
#include "SMDSPDevice.h"

namespace vxpoll {

// Where to look for the plug-in when none is named: beside the executable,
// at the build root two levels up, then where the build put it.
std::vector<std::string> DefaultPluginCandidates(const std::string& exeDir, const std::string& builtPath);

// The directory of the running executable, or "".
std::string ExecutableDir();

class Plugin {
public:
    Plugin() = default;
    ~Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    // dlopen + dlsym("get_providers") + the providers; false with a message.
    bool Load(const std::string& path, std::string& error);
    // The main device from the first provider, owned by the caller.
    std::shared_ptr<SMDSPDevice> CreateMainDevice(std::string& error) const;

    const std::string& Path() const { return path_; }

private:
    void* handle_ = nullptr;
    std::string path_;
    std::vector<std::shared_ptr<Provider>> providers_;
};

}  // namespace vxpoll

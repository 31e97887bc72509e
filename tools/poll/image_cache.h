#pragma once
#include <cstdint>
#include <string>

// The last published image of every sub-device, one file each, so that a
// restarted poller can hand the sub-devices their state back at once.
namespace vxpoll {

class ImageCache {
public:
    explicit ImageCache(std::string dir) : dir_(std::move(dir)) {}

    // Creates the directory if needed; false with the reason otherwise.
    bool Prepare(std::string& error) const;

    // "<dir>/<device type>-<data id>.img"
    std::string PathFor(const std::string& deviceType, uint32_t dataId) const;

    // Writes a temporary file, syncs it, renames it over the old image and
    // syncs the directory: a crash leaves the old image or the new one, never
    // a torn one.
    bool Save(const std::string& deviceType, uint32_t dataId, const unsigned char* data, size_t size,
              std::string& error) const;

    // False when there is no image (error empty) or it cannot be read.
    bool Load(const std::string& deviceType, uint32_t dataId, std::string& image, std::string& error) const;

    const std::string& Dir() const { return dir_; }

private:
    std::string dir_;
};

}  // namespace vxpoll

#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// The last published image of every sub-device, one file each, so that a
// restarted poller can hand the sub-devices their state back at once.
//
// Each file is a 16-byte header, then the image as published:
//
//   offset 0   4 bytes  magic 89 56 58 49 ("\x89VXI")
//   offset 4   u16      header version, 1
//   offset 6   u16      record type the image was published under
//   offset 8   u32      image length in bytes
//   offset 12  u32      CRC-32 of the image (the zlib/IEEE 802.3 one)
//
// little-endian. Files without the magic are bare images of earlier
// versions; they are still read, and get a header on the next save.
namespace vxpoll {

constexpr size_t kImageHeaderSize = 16;
// No image is anywhere near this; a bigger file is not one of ours.
constexpr size_t kImageMaxBytes = size_t{1} << 20;

// The header and the image, as a file holds them.
std::string WrapImage(int recordType, const unsigned char* data, size_t size);

enum class ImageFile {
    Checked,  // header and CRC-32 check
    Bare,     // no header: an earlier version's image, taken as it is
    Refused,  // a header that does not check, or the wrong record type
};
// Takes the image out of a file's bytes; `why` says what is wrong when Refused.
ImageFile UnwrapImage(const std::string& file, int recordType, std::string& image, std::string& why);

class ImageCache {
public:
    explicit ImageCache(std::string dir) : dir_(std::move(dir)) {}

    // Creates the directory if needed and removes the temporary files that
    // an interrupted run left (those of processes no longer alive); false
    // with the reason otherwise.
    bool Prepare(std::string& error, size_t* removed = nullptr) const;

    // "<dir>/<device type>-<data id>.img"
    std::string PathFor(const std::string& deviceType, uint32_t dataId) const;

    // Writes a temporary file, syncs it, renames it over the old image and
    // syncs the directory: a crash leaves the old image or the new one, never
    // a torn one. An error names the cause without the device, so that one
    // cause reads the same for every device.
    bool Save(const std::string& deviceType, uint32_t dataId, int recordType, const unsigned char* data, size_t size,
              std::string& error) const;

    // False when there is no image (error empty) or it cannot be used.
    // Anything but a regular file is refused without being opened for long
    // enough to block. `bare` is set for a file without header.
    bool Load(const std::string& deviceType, uint32_t dataId, int recordType, std::string& image, std::string& error,
              bool* bare = nullptr) const;

    const std::string& Dir() const { return dir_; }

private:
    std::string dir_;
};

}  // namespace vxpoll

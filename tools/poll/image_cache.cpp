#include "image_cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include <boost/crc.hpp>

#include "option_file.h"

namespace vxpoll {

namespace {

const unsigned char kMagic[4] = {0x89, 'V', 'X', 'I'};
constexpr unsigned kHeaderVersion = 1;
const char kTempMark[] = ".img.tmp";

uint32_t Crc32(const unsigned char* data, size_t size)
{
    boost::crc_32_type crc;
    crc.process_bytes(data, size);
    return crc.checksum();
}

void PutLe(std::string& out, uint32_t v, int bytes)
{
    for (int k = 0; k < bytes; ++k) out.push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
}

uint32_t GetLe(const std::string& in, size_t at, int bytes)
{
    uint32_t v = 0;
    for (int k = bytes - 1; k >= 0; --k) v = (v << 8) | static_cast<unsigned char>(in[at + static_cast<size_t>(k)]);
    return v;
}

std::string Errno(const std::string& what, const std::string& path)
{
    return what + " " + path + ": " + std::strerror(errno);
}

bool WriteAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// The pid of "<name>.img.tmp<pid>", or 0 for any other name.
pid_t TempOwner(const std::string& name)
{
    const size_t mark = name.rfind(kTempMark);
    if (mark == std::string::npos) return 0;
    const std::string digits = name.substr(mark + sizeof kTempMark - 1);
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    return static_cast<pid_t>(std::stol(digits));
}

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

}  // namespace

std::string WrapImage(int recordType, const unsigned char* data, size_t size)
{
    std::string out(reinterpret_cast<const char*>(kMagic), sizeof kMagic);
    PutLe(out, kHeaderVersion, 2);
    PutLe(out, static_cast<uint32_t>(recordType), 2);
    PutLe(out, static_cast<uint32_t>(size), 4);
    PutLe(out, Crc32(data, size), 4);
    out.append(reinterpret_cast<const char*>(data), size);
    return out;
}

ImageFile UnwrapImage(const std::string& file, int recordType, std::string& image, std::string& why)
{
    if (file.size() < sizeof kMagic || std::memcmp(file.data(), kMagic, sizeof kMagic) != 0) {
        image = file;
        return ImageFile::Bare;
    }
    if (file.size() < kImageHeaderSize) {
        why = "its header is cut short (" + std::to_string(file.size()) + " bytes)";
        return ImageFile::Refused;
    }
    const uint32_t version = GetLe(file, 4, 2);
    if (version != kHeaderVersion) {
        why = "its header has version " + std::to_string(version) + ", this program reads version " +
              std::to_string(kHeaderVersion);
        return ImageFile::Refused;
    }
    const uint32_t length = GetLe(file, 8, 4);
    if (length != file.size() - kImageHeaderSize) {
        why = "its header gives " + std::to_string(length) + " bytes but " +
              std::to_string(file.size() - kImageHeaderSize) + " follow";
        return ImageFile::Refused;
    }
    const auto* data = reinterpret_cast<const unsigned char*>(file.data()) + kImageHeaderSize;
    if (GetLe(file, 12, 4) != Crc32(data, length)) {
        why = "its CRC-32 does not match: the image is damaged";
        return ImageFile::Refused;
    }
    const int type = static_cast<int>(GetLe(file, 6, 2));
    if (recordType != 0 && type != recordType) {
        why = "it holds a record of type " + std::to_string(type) + ", not " + std::to_string(recordType);
        return ImageFile::Refused;
    }
    image.assign(file, kImageHeaderSize, std::string::npos);
    return ImageFile::Checked;
}

bool ImageCache::Prepare(std::string& error, size_t* removed) const
{
    if (removed != nullptr) *removed = 0;
    struct stat st {};
    if (::stat(dir_.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            error = "cache " + dir_ + " is not a directory";
            return false;
        }
    } else if (::mkdir(dir_.c_str(), 0777) != 0 && errno != EEXIST) {
        error = Errno("cannot create cache directory", dir_);
        return false;
    }
    // A kill during a save leaves its temporary file; one of a live process
    // (another poller on this directory) is still being written.
    std::unique_ptr<DIR, DirCloser> dir(::opendir(dir_.c_str()));
    if (!dir) return true;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        const pid_t owner = TempOwner(name);
        if (owner <= 0 || owner == ::getpid()) continue;
        if (::kill(owner, 0) == 0 || errno != ESRCH) continue;
        if (::unlink((dir_ + "/" + name).c_str()) == 0 && removed != nullptr) ++*removed;
    }
    return true;
}

std::string ImageCache::PathFor(const std::string& deviceType, uint32_t dataId) const
{
    std::string name = deviceType;
    for (char& c : name)
        if (c == '/' || c == '\0') c = '_';
    return dir_ + "/" + name + "-" + std::to_string(dataId) + ".img";
}

bool ImageCache::Save(const std::string& deviceType, uint32_t dataId, int recordType, const unsigned char* data,
                      size_t size, std::string& error) const
{
    const std::string path = PathFor(deviceType, dataId);
    const std::string temp = path + ".tmp" + std::to_string(::getpid());
    const std::string file = WrapImage(recordType, data, size);
    // Whatever a crash left under this name goes; O_EXCL never opens a FIFO
    // or a link someone put there.
    ::unlink(temp.c_str());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
        error = Errno("cannot create files in cache directory", dir_);
        return false;
    }
    if (!WriteAll(fd, file.data(), file.size()) || ::fsync(fd) != 0) {
        error = Errno("cannot write to cache directory", dir_);
        ::close(fd);
        ::unlink(temp.c_str());
        return false;
    }
    if (::close(fd) != 0) {
        error = Errno("cannot write to cache directory", dir_);
        ::unlink(temp.c_str());
        return false;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        error = Errno("cannot replace", path);
        ::unlink(temp.c_str());
        return false;
    }
    // The rename itself reaches the disk only with the directory.
    const int dirFd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

bool ImageCache::Load(const std::string& deviceType, uint32_t dataId, int recordType, std::string& image,
                      std::string& error, bool* bare) const
{
    error.clear();
    if (bare != nullptr) *bare = false;
    const std::string path = PathFor(deviceType, dataId);
    // Without O_NONBLOCK a FIFO put in the cache would hold the start until
    // someone writes to it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) error = Errno("cannot open", path);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = path + " is " + option_file::KindOf(st.st_mode) + ", not an image file; remove it";
        ::close(fd);
        return false;
    }
    std::string out;
    unsigned char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = Errno("cannot read", path);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        out.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
        if (out.size() > kImageMaxBytes + kImageHeaderSize) {
            error = path + " is too large for an image";
            ::close(fd);
            return false;
        }
    }
    ::close(fd);
    std::string payload;
    std::string why;
    switch (UnwrapImage(out, recordType, payload, why)) {
    case ImageFile::Refused: error = path + " does not check: " + why; return false;
    case ImageFile::Bare:
        // Every record this poller stores starts with the unit's data id: a
        // bare file that does not is not an earlier image of this unit.
        if (payload.size() < 4 || GetLe(payload, 0, 4) != dataId) {
            error = path + " has no image header and does not start with data id " + std::to_string(dataId) +
                    "; not an image of this unit";
            return false;
        }
        if (bare != nullptr) *bare = true;
        break;
    case ImageFile::Checked: break;
    }
    image.swap(payload);
    return true;
}

}  // namespace vxpoll

#include "image_cache.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vxpoll {

namespace {

std::string Errno(const std::string& what, const std::string& path)
{
    return what + " " + path + ": " + std::strerror(errno);
}

bool WriteAll(int fd, const unsigned char* data, size_t size)
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

}  // namespace

bool ImageCache::Prepare(std::string& error) const
{
    struct stat st{};
    if (::stat(dir_.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        error = "cache " + dir_ + " is not a directory";
        return false;
    }
    if (::mkdir(dir_.c_str(), 0777) != 0 && errno != EEXIST) {
        error = Errno("cannot create cache directory", dir_);
        return false;
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

bool ImageCache::Save(const std::string& deviceType, uint32_t dataId, const unsigned char* data, size_t size,
                      std::string& error) const
{
    const std::string path = PathFor(deviceType, dataId);
    const std::string temp = path + ".tmp" + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = Errno("cannot create", temp);
        return false;
    }
    if (!WriteAll(fd, data, size) || ::fsync(fd) != 0) {
        error = Errno("cannot write", temp);
        ::close(fd);
        ::unlink(temp.c_str());
        return false;
    }
    if (::close(fd) != 0) {
        error = Errno("cannot write", temp);
        ::unlink(temp.c_str());
        return false;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        error = Errno("cannot rename onto", path);
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

bool ImageCache::Load(const std::string& deviceType, uint32_t dataId, std::string& image, std::string& error) const
{
    error.clear();
    const std::string path = PathFor(deviceType, dataId);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) error = Errno("cannot open", path);
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
        // No image is anywhere near this; a bigger file is not one of ours.
        if (out.size() > (1u << 20)) {
            error = path + " is too large for an image";
            ::close(fd);
            return false;
        }
    }
    ::close(fd);
    image.swap(out);
    return true;
}

}  // namespace vxpoll

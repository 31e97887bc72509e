#include "option_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace option_file {

const char* KindOf(mode_t mode)
{
    switch (mode & S_IFMT) {
    case S_IFDIR: return "a directory";
    case S_IFIFO: return "a FIFO";
    case S_IFSOCK: return "a socket";
    case S_IFCHR: return "a character device";
    case S_IFBLK: return "a block device";
    default: return "not a regular file";
    }
}

namespace {

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

std::string Start(const std::string& option, const std::string& path) { return option + ": " + path; }

// Opens and tests the file; -1 with `error` set when it is refused.
int Open(const std::string& option, const std::string& path, size_t limit, std::string& error)
{
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = Start(option, path) + ": cannot open: " + std::strerror(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = Start(option, path) + ": cannot read: " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        error = Start(option, path) + " is " + KindOf(st.st_mode) + "; give a regular file";
        ::close(fd);
        return -1;
    }
    if (static_cast<unsigned long long>(st.st_size) > limit) {
        error = Start(option, path) + " is " + SizeText(static_cast<size_t>(st.st_size)) + "; " + option +
                " takes at most " + SizeText(limit) + " (is it the right file?)";
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::string SizeText(size_t bytes)
{
    if (bytes >= (size_t{1} << 20) && bytes % (size_t{1} << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    if (bytes >= (size_t{1} << 10) && bytes % (size_t{1} << 10) == 0) return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " bytes";
}

bool Read(const std::string& option, const std::string& path, size_t limit, std::string& text, std::string& error)
{
    const Fd fd(Open(option, path, limit, error));
    if (fd.get() < 0) return false;
    // A file that grows while it is read is still held to the limit.
    std::string out;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = Start(option, path) + ": cannot read: " + std::strerror(errno);
            return false;
        }
        if (n == 0) break;
        out.append(buffer, static_cast<size_t>(n));
        if (out.size() > limit) {
            error = Start(option, path) + " grew while it was read; " + option + " takes at most " + SizeText(limit) +
                    " (is it the right file?)";
            return false;
        }
    }
    text.swap(out);
    return true;
}

bool Check(const std::string& option, const std::string& path, size_t limit, std::string& error)
{
    const Fd fd(Open(option, path, limit, error));
    return fd.get() >= 0;
}

}  // namespace option_file

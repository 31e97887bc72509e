#pragma once
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

// A pseudo-terminal for a port to open by its path; the test writes what the
// line delivers on the other side. `holdClient` keeps the client side open
// too, as a simulator holds it.
class Pty {
public:
    explicit Pty(bool holdClient = false)
    {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
            ::ptsname_r(master_, name, sizeof name) != 0)
            return;
        path_ = name;
        if (holdClient) client_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~Pty()
    {
        if (client_ >= 0) ::close(client_);
        if (master_ >= 0) ::close(master_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& Path() const { return path_; }
    void Write(const std::string& bytes) const
    {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Whether the line is in exclusive mode now (needs holdClient): 1 or 0,
    // -1 where the kernel (or an emulator) cannot tell.
    int Exclusive() const
    {
        int on = 0;
        if (::ioctl(client_, TIOCGEXCL, &on) != 0) return -1;
        return on != 0 ? 1 : 0;
    }

private:
    int master_ = -1;
    int client_ = -1;
    std::string path_;
};

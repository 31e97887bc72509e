#pragma once
#include <streambuf>

namespace vxpoll {

// An output stream buffer on a file descriptor. The poller's own output goes
// through it, on a copy of the original standard output, while descriptor 1
// carries the plug-in's trace lines to standard error.
class FdStreamBuf : public std::streambuf {
public:
    explicit FdStreamBuf(int fd) : fd_(fd) { setp(buffer_, buffer_ + sizeof buffer_); }
    ~FdStreamBuf() override { Drain(); }
    FdStreamBuf(const FdStreamBuf&) = delete;
    FdStreamBuf& operator=(const FdStreamBuf&) = delete;

    // A write failed (the reader went away).
    bool Failed() const { return failed_; }

protected:
    int overflow(int c) override;
    int sync() override { return Drain() ? 0 : -1; }

private:
    bool Drain();

    int fd_;
    bool failed_ = false;
    char buffer_[8192];
};

}  // namespace vxpoll

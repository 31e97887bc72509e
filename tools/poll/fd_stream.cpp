#include "fd_stream.h"

#include <cerrno>
#include <unistd.h>

namespace vxpoll {

int FdStreamBuf::overflow(int c)
{
    if (!Drain()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

bool FdStreamBuf::Drain()
{
    const char* data = pbase();
    size_t left = static_cast<size_t>(pptr() - pbase());
    while (left > 0 && !failed_) {
        const ssize_t n = ::write(fd_, data, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            failed_ = true;
            break;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    setp(buffer_, buffer_ + sizeof buffer_);
    return !failed_;
}

}  // namespace vxpoll

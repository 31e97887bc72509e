#include "tracing_port.h"

namespace vxpoll {

namespace {
// A reply is at most a few hundred bytes; a longer run without CR is noise.
constexpr size_t kMaxPartial = 8192;
}  // namespace

TracingPort::TracingPort(std::shared_ptr<SerialPort> inner, FrameSink sink)
    : inner_(std::move(inner)), sink_(std::move(sink))
{}

bool TracingPort::Open()
{
    partial_.clear();
    const bool ok = inner_->Open();
    failed_ = !ok;
    return ok;
}

void TracingPort::Close()
{
    FlushPartial();
    inner_->Close();
}

long TracingPort::Read(unsigned char* buffer, size_t size)
{
    const long n = inner_->Read(buffer, size);
    if (n < 0) {
        failed_ = true;
        return n;
    }
    for (long k = 0; k < n; ++k) {
        partial_.push_back(static_cast<char>(buffer[k]));
        if (buffer[k] == '\r' || partial_.size() >= kMaxPartial) FlushPartial();
    }
    return n;
}

bool TracingPort::Write(const unsigned char* data, size_t size)
{
    if (sink_) sink_(true, std::string(reinterpret_cast<const char*>(data), size));
    const bool ok = inner_->Write(data, size);
    if (!ok) failed_ = true;
    return ok;
}

void TracingPort::FlushPartial()
{
    if (partial_.empty()) return;
    std::string frame;
    frame.swap(partial_);
    if (sink_) sink_(false, frame);
}

}  // namespace vxpoll

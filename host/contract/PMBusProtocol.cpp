#include "PMBusProtocol.h"

#include <algorithm>
#include <cstdio>

#include "host_setting.h"

namespace {

std::string Hex2(unsigned v)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFFu);
    return buf;
}

}  // namespace

PMBusProtocol::PMBusProtocol() : reply_(record_) { maxFrameChars_ = yd1363::kMaxFrameChars; }

PMBusProtocol::~PMBusProtocol() = default;

void PMBusProtocol::Reset()
{
    step_ = 0;
    SMDSPDevice::Reset();
}

bool PMBusProtocol::InitSetting(const Json::Value& config)
{
    HostSetting setting;
    setting.port = portPath_;
    setting.baud = static_cast<unsigned>(baudRate_);
    setting.address = adr_;
    setting.replyTimeoutMs = static_cast<unsigned>(replyTimeout_.count());
    std::string error;
    if (!ReadHostSetting(config, setting, error)) {
        InfoLog("PMBusProtocol:ConfigError {} {}", DataId(), error);
        return false;
    }
    portPath_ = setting.port;
    baudRate_ = static_cast<int>(setting.baud);
    adr_ = static_cast<unsigned char>(setting.address);
    replyTimeout_ = std::chrono::milliseconds(setting.replyTimeoutMs);
    return true;
}

int PMBusProtocol::process(unsigned char* bytes, unsigned int size)
{
    if (bytes == nullptr) return 0;
    if (size > 0) NoteBytesReceived();
    if (DiscardingInput()) {
        // The tail of a reply already given up on, or noise after it.
        reassembler_.Clear();
        midFrame_ = false;
        return 0;
    }
    int accepted = 0;
    yd1363::Reassembler::Event event{};
    for (size_t k = 0; k < size;) {
        bool done = false;
        k += reassembler_.Feed(bytes + k, size - k, event, done);
        if (!done) continue;
        if (event.kind == yd1363::Reassembler::Event::Fault) {
            Refuse(event.error, "");
            continue;
        }
        if (HandleFrame(reassembler_.Body())) ++accepted;
    }
    midFrame_ = reassembler_.InFrame();
    return accepted;
}

bool PMBusProtocol::IsEchoOfLastCommand(const std::string& body) const
{
    if ((lineOption_ & 0x01) == 0 || lastSent_.size() != body.size() + 2) return false;
    return std::equal(body.begin(), body.end(), lastSent_.begin() + 1);
}

bool PMBusProtocol::HandleFrame(const std::string& body)
{
    if (IsEchoOfLastCommand(body)) return false;
    const yd1363::Error error = yd1363::Decode(body.data(), body.size(), record_);
    if (error != yd1363::Error::None) {
        Refuse(error, "");
        return false;
    }
    if (record_[1] != adr_) {
        Refuse(yd1363::Error::WrongAddress, "ADR " + Hex2(record_[1]) + ", polled " + Hex2(adr_));
        return false;
    }
    if (record_[3] != 0) {
        Refuse(yd1363::Error::BadReturnCode, "RTN " + Hex2(record_[3]));
        return false;
    }
    lastError_ = yd1363::Error::None;
    NoteReplyAccepted();
    auto controller = Controller();
    const unsigned long long published = controller ? controller->PublishCount() : 0;
    const unsigned long sentBefore = txCount_;
    const int more = process_payload();
    if (more == 0 && controller) controller->OnRoundEnd(*this, controller->PublishCount() != published);
    if (more != 0 && txCount_ == sentBefore)
        NoteRefused();
    else
        refusedInRow_ = 0;
    AfterReply();
    return true;
}

void PMBusProtocol::NoteRefused()
{
    // A reply the device refuses every time is no better than a lost one:
    // after a few, the round is abandoned and polling starts over.
    if (step_ != refusedStep_) refusedInRow_ = 0;
    refusedStep_ = step_;
    if (++refusedInRow_ < kRefusalsBeforeRestart) return;
    refusedInRow_ = 0;
    InfoLog("PMBusProtocol:Refused {} the reply to step {} was refused {} times in a row, polling restarts", DataId(),
            step_, kRefusalsBeforeRestart);
    Reset();
    if (auto c = Controller()) c->OnRoundEnd(*this, false);
}

void PMBusProtocol::Refuse(yd1363::Error error, const std::string& detail)
{
    lastError_ = error;
    if (detail.empty())
        InfoLog("PMBusProtocol:FrameError {} {}", DataId(), yd1363::Describe(error));
    else
        InfoLog("PMBusProtocol:FrameError {} {}: {}", DataId(), yd1363::Describe(error), detail);
    if (auto c = Controller()) c->OnFrameError(*this, yd1363::Describe(error));
    process_error();
}

void PMBusProtocol::AfterReply()
{
    // Rules the device stated outside a round (the model check) go on at once.
    if (!pendingRules_.empty()) DoBatchCheckThreshold(TakePendingRules());
    if (!IsDataReady()) {
        bool all = true;
        bool any = false;
        for (const auto& child : GetAllChildVDevices()) {
            if (!child) continue;
            any = true;
            all = all && child->HasPublished();
        }
        if (any && all) SetDataReady(true);
    }
    if (auto c = Controller()) c->RunPendingWork();
}

int PMBusProtocol::process_payload() { return 1; }

int PMBusProtocol::process_error() { return 0; }

void PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2) { write_pmbus_cmd(cid1, cid2, nullptr, 0); }

void PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2, unsigned char const* info, int infoLen)
{
    if (infoLen < 0 || infoLen > yd1363::kMaxInfoBytes || (infoLen > 0 && info == nullptr)) {
        InfoLog("PMBusProtocol:CommandError {} INFO of {} bytes cannot be framed", DataId(), infoLen);
        return;
    }
    yd1363::EncodeInto(frame_, ver_, adr_, cid1, cid2, info, static_cast<size_t>(infoLen));
    if (DiscardingInput()) DropStaleInput();
    SendData(reinterpret_cast<const unsigned char*>(frame_.data()), static_cast<unsigned int>(frame_.size()));
}

void PMBusProtocol::DropStaleInput()
{
    // Whatever is still buffered answers a command given up on; it must not
    // be taken as the reply to the next one.
    if (reassembler_.InFrame()) Refuse(yd1363::Error::Unfinished, "");
    reassembler_.Clear();
    midFrame_ = false;
    if (!port_ || !port_->IsOpen()) return;
    unsigned char scrap[256];
    for (int k = 0; k < 64 && port_->Read(scrap, sizeof scrap) > 0; ++k) {
    }
}

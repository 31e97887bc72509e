#include "PMBusProtocol.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string Hex2(unsigned v)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFFu);
    return buf;
}

// Reads an optional unsigned setting within [lo, hi]; false when present but unusable.
bool ReadUInt(const Json::Value& config, const char* key, unsigned lo, unsigned hi, unsigned& out)
{
    const Json::Value& v = config[key];
    if (v.isNull()) return true;
    if (!v.isIntegral() || (v.isInt64() && v.asInt64() < 0) || !v.isConvertibleTo(Json::uintValue)) return false;
    const unsigned x = v.asUInt();
    if (x < lo || x > hi) return false;
    out = x;
    return true;
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
    if (config.isNull()) return true;
    if (!config.isObject()) {
        InfoLog("PMBusProtocol:ConfigError {} configuration is not an object", DataId());
        return false;
    }
    const Json::Value& port = config["port"];
    if (!port.isNull()) {
        if (!port.isString()) {
            InfoLog("PMBusProtocol:ConfigError {} \"port\" must be a text", DataId());
            return false;
        }
        portPath_ = port.asString();
    }
    unsigned baud = static_cast<unsigned>(baudRate_);
    if (!ReadUInt(config, "baud", 50, 4000000, baud)) {
        InfoLog("PMBusProtocol:ConfigError {} \"baud\" must be a line speed from 50 to 4000000", DataId());
        return false;
    }
    unsigned address = adr_;
    if (!ReadUInt(config, "address", 0, 255, address)) {
        InfoLog("PMBusProtocol:ConfigError {} \"address\" must be a number from 0 to 255", DataId());
        return false;
    }
    unsigned timeoutMs = static_cast<unsigned>(replyTimeout_.count());
    if (!ReadUInt(config, "reply_timeout_ms", 10, 600000, timeoutMs)) {
        InfoLog("PMBusProtocol:ConfigError {} \"reply_timeout_ms\" must be a number from 10 to 600000", DataId());
        return false;
    }
    baudRate_ = static_cast<int>(baud);
    adr_ = static_cast<unsigned char>(address);
    replyTimeout_ = std::chrono::milliseconds(timeoutMs);
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
    for (unsigned int k = 0; k < size; ++k) {
        if (!reassembler_.Feed(bytes[k], event)) continue;
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

void PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2)
{
    write_pmbus_cmd(cid1, cid2, nullptr, 0);
}

void PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2, unsigned char const* info, int infoLen)
{
    if (infoLen < 0 || infoLen > yd1363::kMaxInfoBytes || (infoLen > 0 && info == nullptr)) {
        InfoLog("PMBusProtocol:CommandError {} INFO of {} bytes cannot be framed", DataId(), infoLen);
        return;
    }
    const std::string frame = yd1363::Encode(ver_, adr_, cid1, cid2, info, static_cast<size_t>(infoLen));
    if (DiscardingInput()) DropStaleInput();
    SendData(reinterpret_cast<const unsigned char*>(frame.data()), static_cast<unsigned int>(frame.size()));
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

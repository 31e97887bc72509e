#include "SMDSPDevice.h"

#include <algorithm>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "port_factory.h"

SMDSPDevice::SMDSPDevice() = default;

SMDSPDevice::~SMDSPDevice() = default;

bool SMDSPDevice::LoadFromCache(const unsigned char*, int) { return false; }

void SMDSPDevice::Reset()
{
    inRound_ = false;
    allowed_ = false;
    lastUpdate_ = boost::posix_time::second_clock::local_time();
}

bool SMDSPDevice::Init(std::weak_ptr<SMDController> controller, unsigned int dataId, const Json::Value& config)
{
    controller_ = std::move(controller);
    dataId_ = dataId;
    return InitSetting(config);
}

std::chrono::milliseconds SMDSPDevice::ReplyCeiling() const
{
    // Ten bits a character on an 8N1 line.
    const long long baud = baudRate_ > 0 ? baudRate_ : 9600;
    const long long frameMs = (static_cast<long long>(maxFrameChars_) * 10 * 1000 + baud - 1) / baud;
    return replyTimeout_ + std::chrono::milliseconds(2 * frameMs);
}

bool SMDSPDevice::RefreshStatus()
{
    if (!port_ || !port_->IsOpen()) return false;
    const Clock::time_point now = Now();
    if (awaitingReply_) {
        // A reply that keeps arriving is never cut off, up to the ceiling.
        if (now - lastActivity_ < replyTimeout_ && now - lastTx_ < ReplyCeiling()) return false;
        awaitingReply_ = false;
        ++pacing_;
        ++silentTimeouts_;
        discardInput_ = true;
        gaveUpAt_ = now;
        InfoLog("SMDSPDevice:Timeout {} no reply within {} ms", DataId(),
                static_cast<long long>(replyTimeout_.count()));
        if (auto c = Controller()) c->OnReplyTimeout(*this);
    }
    // Never talk over bytes that are still arriving (a late reply on a
    // half-duplex line would collide with the command).
    if ((discardInput_ || midFrame_) && rxSeen_ && now - lastRx_ < QuietGap() && now - gaveUpAt_ < ReplyCeiling())
        return false;
    if (IsStalled()) {
        // Nothing will repeat the lost command: start polling over.
        InfoLog("SMDSPDevice:Stalled {} no reply for {} time-outs, polling restarts", DataId(), stallAfterTimeouts_);
        Reset();
        if (auto c = Controller()) c->OnRoundEnd(*this, false);
    }
    allowed_ = true;
    txCountAtAllow_ = txCount_;
    return true;
}

std::chrono::milliseconds SMDSPDevice::QuietGap() const
{
    // Twenty characters' time, at least 100 ms: a gap inside a reply is shorter.
    const long long baud = baudRate_ > 0 ? baudRate_ : 9600;
    return std::chrono::milliseconds(std::max(100LL, 20 * 10 * 1000 / baud));
}

int SMDSPDevice::process(unsigned char*, unsigned int) { return 0; }

bool SMDSPDevice::IsProcessing()
{
    const Clock::time_point now = Now();
    return awaitingReply_ && now - lastActivity_ < replyTimeout_ && now - lastTx_ < ReplyCeiling();
}

bool SMDSPDevice::IsStalled()
{
    return inRound_ && allowed_ && txCount_ == txCountAtAllow_ &&
           Now() - lastTx_ >= replyTimeout_ * stallAfterTimeouts_;
}

int SMDSPDevice::SendData(const unsigned char* data, unsigned int size)
{
    if (!port_ || !port_->IsOpen() || (size > 0 && data == nullptr)) return -1;
    if (!port_->Write(data, size)) {
        InfoLog("SMDSPDevice:PortError {} write to {} failed: {}", DataId(), port_->Name(), port_->LastError());
        return -1;
    }
    lastSent_.assign(data, data + size);
    lastTx_ = Now();
    lastActivity_ = lastTx_;
    discardInput_ = false;
    awaitingReply_ = true;
    inRound_ = true;
    ++txCount_;
    return static_cast<int>(size);
}

int SMDSPDevice::SendParityData(const unsigned char* data, unsigned int size, EnumParity)
{
    // The line parity is set when the port opens; 8N1 is all this protocol uses.
    return SendData(data, size);
}

bool SMDSPDevice::OpenPort()
{
    if (!port_ && !portPath_.empty()) port_ = MakePort(portPath_, baudRate_);
    if (!port_) return false;
    if (port_->IsOpen()) return true;
    if (!port_->Open()) {
        InfoLog("SMDSPDevice:PortError {} cannot open {}: {}", DataId(), port_->Name(), port_->LastError());
        return false;
    }
    return true;
}

void SMDSPDevice::ClosePort()
{
    if (port_) port_->Close();
    awaitingReply_ = false;
    discardInput_ = false;
    midFrame_ = false;
    silentTimeouts_ = 0;
}

void SMDSPDevice::AttachPort(std::shared_ptr<SerialPort> port) { port_ = std::move(port); }

void SMDSPDevice::NoteReplyAccepted()
{
    awaitingReply_ = false;
    pacing_ = 0;
    silentTimeouts_ = 0;
    if (auto c = Controller()) c->OnReplyAccepted(*this);
}

void SMDSPDevice::NoteBytesReceived()
{
    lastRx_ = Now();
    lastActivity_ = lastRx_;
    rxSeen_ = true;
}

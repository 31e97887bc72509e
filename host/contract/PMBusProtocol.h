#pragma once
#include <string>

#include "SMDSPDevice.h"
#include "yd1363.h"

// YD/T 1363.3 command/reply protocol on a serial device: frames commands,
// reassembles and checks replies, and hands each accepted reply to
// process_payload().
class PMBusProtocol : public SMDSPDevice {
public:
    PMBusProtocol();
    ~PMBusProtocol() override;

    // Returns the step to 0, then stamps the last-update time.
    void Reset() override;
    // Host keys: "port", "baud", "address", "reply_timeout_ms".
    bool InitSetting(const Json::Value& config) override;
    int process(unsigned char* bytes, unsigned int size) override;

    virtual int process_payload();
    virtual int process_error();

    void write_pmbus_cmd(unsigned char cid1, unsigned char cid2);
    void write_pmbus_cmd(unsigned char cid1, unsigned char cid2, unsigned char const* info, int infoLen);

    // Host-side accessors.
    int Step() const { return step_; }
    void SetStep(int step) { step_ = step; }
    unsigned char Version() const { return ver_; }
    void SetVersion(unsigned char ver) { ver_ = ver; }
    unsigned char Address() const { return adr_; }
    void SetAddress(unsigned char adr) { adr_ = adr; }
    const unsigned char* Reply() const { return reply_; }
    // Why the last frame was refused (for process_error).
    yd1363::Error LastError() const { return lastError_; }

protected:
    unsigned char* reply_;
    int step_ = 0;
    unsigned char ver_ = 0x20;
    unsigned char adr_ = 1;

private:
    bool HandleFrame(const std::string& body);
    void Refuse(yd1363::Error error, const std::string& detail);
    void AfterReply();
    void NoteRefused();
    void DropStaleInput();

    static constexpr int kRefusalsBeforeRestart = 3;
    int refusedInRow_ = 0;
    int refusedStep_ = -1;
    bool IsEchoOfLastCommand(const std::string& body) const;

    unsigned char record_[yd1363::kRecordSize] = {};
    std::string frame_;  // the command being sent; keeps its capacity
    yd1363::Reassembler reassembler_;
    yd1363::Error lastError_ = yd1363::Error::None;
};

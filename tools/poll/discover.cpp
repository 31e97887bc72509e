#include "discover.h"

#include <poll.h>

#include <chrono>
#include <cstdio>
#include <ostream>

#include <json/writer.h>

#include "port_factory.h"
#include "yd1363.h"

namespace vxpoll {

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kMainDataId = 1;
constexpr unsigned kFirstAcDataId = 1001;
constexpr unsigned kFirstDcDataId = 2001;
constexpr int kTries = 3;
constexpr unsigned char kCommandGroup = 0xFF;
// RTN 01: the system speaks another protocol version, named in the reply's VER.
constexpr unsigned char kRtnVersion = 0x01;

std::string Hex2(unsigned v)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", v & 0xFFu);
    return text;
}

// Walks INFO with bounds checks; every read past the end fails.
class Cursor {
public:
    Cursor(const unsigned char* data, size_t size) : data_(data), size_(size) {}
    bool Byte(unsigned& out)
    {
        if (at_ >= size_) return false;
        out = data_[at_++];
        return true;
    }
    bool Skip(size_t n)
    {
        if (n > size_ - at_) return false;
        at_ += n;
        return true;
    }

private:
    const unsigned char* data_;
    size_t size_;
    size_t at_ = 0;
};

std::string Short(const char* what, size_t size)
{
    return std::string("the ") + what + " reply (" + std::to_string(size) + " bytes) is shorter than what it announces";
}

// One command/reply exchange on the line.
class Line {
public:
    Line(const DiscoverOptions& options) : options_(options) {}
    // On a port that is open already and stays the caller's.
    Line(const DiscoverOptions& options, std::shared_ptr<SerialPort> port, unsigned ver, int tries)
        : options_(options), port_(std::move(port)), ver_(ver), tries_(tries)
    {}

    // Whether Open failed because another program holds the port.
    bool InUse() const { return inUse_; }

    bool Open(std::string& error)
    {
        port_ = MakePort(options_.port, options_.baud);
        if (!port_ || !port_->Open()) {
            inUse_ = port_ && port_->LastErrorInUse();
            error = inUse_ ? "port " + options_.port + " " + port_->LastError() +
                                 "; one program at a time can use a line (stop the poller first)"
                           : "cannot open " + options_.port + (port_ ? ": " + port_->LastError() : std::string());
            return false;
        }
        return true;
    }

    // The INFO of the accepted reply; false with the reason (no reply, RTN, line failure).
    bool Ask(unsigned char cid1, unsigned char cid2, bool group, std::vector<unsigned char>& info, std::string& why)
    {
        for (int attempt = 0; attempt < tries_; ++attempt) {
            const std::string frame = yd1363::Encode(static_cast<uint8_t>(ver_), static_cast<uint8_t>(options_.address),
                                                     cid1, cid2, group ? &kCommandGroup : nullptr, group ? 1 : 0);
            if (!port_->Write(reinterpret_cast<const unsigned char*>(frame.data()), frame.size())) {
                why = "write to " + port_->Name() + " failed: " + port_->LastError();
                return false;
            }
            const Result result = AwaitReply(frame, info, why);
            if (result == Result::Reply) return true;
            if (result == Result::Failed) return false;
            if (result == Result::Retry) --attempt;  // a version change is not a lost try
        }
        if (why.empty())
            why = "no reply within " + std::to_string(options_.timeoutMs) + " ms, asked " + std::to_string(tries_) +
                  " times";
        return false;
    }

    unsigned Ver() const { return ver_; }
    bool Heard() const { return heard_; }

private:
    enum class Result { Reply, Refused, Retry, Failed, Silent };

    Result AwaitReply(const std::string& sent, std::vector<unsigned char>& info, std::string& why)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(options_.timeoutMs);
        yd1363::Reassembler reassembler;
        std::vector<unsigned char> record(yd1363::kRecordSize);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return Result::Silent;
            pollfd p{port_->Fd(), POLLIN, 0};
            if (p.fd >= 0)
                ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 50)));
            else
                ::poll(nullptr, 0, 10);
            unsigned char buffer[512];
            const long n = port_->Read(buffer, sizeof buffer);
            if (n < 0) {
                why = "reading " + port_->Name() + " failed: " + port_->LastError();
                return Result::Failed;
            }
            for (long k = 0; k < n; ++k) {
                yd1363::Reassembler::Event event{};
                if (!reassembler.Feed(buffer[k], event)) continue;
                if (event.kind == yd1363::Reassembler::Event::Fault) {
                    why = std::string("a garbled reply (") + yd1363::Describe(event.error) + ")";
                    continue;
                }
                const std::string& body = reassembler.Body();
                // A half-duplex adapter's echo of the command.
                if (sent.size() == body.size() + 2 && sent.compare(1, body.size(), body) == 0) continue;
                const yd1363::Error error = yd1363::Decode(body.data(), body.size(), record.data());
                if (error != yd1363::Error::None) {
                    why = std::string("a garbled reply (") + yd1363::Describe(error) + ")";
                    continue;
                }
                if (record[1] != options_.address) {
                    why = "replies come from address " + std::to_string(record[1]) + ", asked " +
                          std::to_string(options_.address) + " (use --address)";
                    continue;
                }
                heard_ = true;
                if (record[3] == kRtnVersion && record[0] != ver_) {
                    ver_ = record[0];
                    return Result::Retry;
                }
                if (record[3] != 0) {
                    why = "the system refused the command (RTN " + Hex2(record[3]) + ")";
                    return Result::Refused;
                }
                ver_ = record[0];
                const size_t size = (record[4] | (record[5] << 8)) / 2;
                info.assign(record.begin() + yd1363::kRecordHeader, record.begin() + yd1363::kRecordHeader + size);
                return Result::Reply;
            }
        }
    }

    const DiscoverOptions& options_;
    std::shared_ptr<SerialPort> port_;
    bool inUse_ = false;
    unsigned ver_ = 0x20;
    bool heard_ = false;
    int tries_ = kTries;
};

}  // namespace

bool AskDcUnitCount(const std::shared_ptr<SerialPort>& port, unsigned address, unsigned ver, int timeoutMs,
                    unsigned& count, std::string& why)
{
    DiscoverOptions options;
    options.address = address;
    options.timeoutMs = timeoutMs;
    Line line(options, port, ver, 1);
    std::vector<unsigned char> info;
    if (!line.Ask(0x42, 0x41, line.Ver() == 0x21, info, why)) return false;
    std::vector<DcUnit> units;
    if (!DcUnitsFromAnalog(info.data(), info.size(), units, why)) return false;
    count = static_cast<unsigned>(units.size());
    return true;
}

std::string ModelText(const unsigned char* info, size_t size)
{
    std::string text;
    for (size_t k = 0; k < size && k < 20; ++k) {
        const unsigned char c = info[k];
        if (c == 0) break;
        text.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

bool AcUnitsFromAnalog(const unsigned char* info, size_t size, std::vector<AcUnit>& units, std::string& error)
{
    Cursor in(info, size);
    unsigned count = 0;
    if (!in.Skip(1) || !in.Byte(count)) {
        error = Short("AC analog", size);
        return false;
    }
    std::vector<AcUnit> out;
    for (unsigned u = 0; u < count; ++u) {
        AcUnit unit;
        bool ok = in.Byte(unit.channels);
        for (unsigned c = 0; ok && c < unit.channels; ++c) {
            unsigned p = 0;
            ok = in.Skip(16) && in.Byte(p) && in.Skip(4u * p);
        }
        if (!ok || !in.Skip(12)) {
            error = Short("AC analog", size);
            return false;
        }
        out.push_back(unit);
    }
    units.swap(out);
    return true;
}

bool DcUnitsFromAnalog(const unsigned char* info, size_t size, std::vector<DcUnit>& units, std::string& error)
{
    Cursor in(info, size);
    unsigned count = 0;
    if (!in.Skip(1) || !in.Byte(count)) {
        error = Short("DC analog", size);
        return false;
    }
    std::vector<DcUnit> out;
    for (unsigned u = 0; u < count; ++u) {
        DcUnit unit;
        unsigned branches = 0, user = 0;
        if (!in.Skip(8) || !in.Byte(unit.batteryGroups) || !in.Skip(4u * unit.batteryGroups) || !in.Byte(branches) ||
            !in.Skip(4u * branches) || !in.Byte(user) || !in.Skip(4u * user)) {
            error = Short("DC analog", size);
            return false;
        }
        out.push_back(unit);
    }
    units.swap(out);
    return true;
}

bool ModulesFromAnalog(const unsigned char* info, size_t size, unsigned& modules, std::string& error)
{
    Cursor in(info, size);
    if (!in.Skip(5) || !in.Byte(modules)) {
        error = Short("rectifier analog", size);
        return false;
    }
    return true;
}

Json::Value DiscoveredConfig(const Discovery& found, const DiscoverOptions& options)
{
    Json::Value config(Json::objectValue);
    config["data_id"] = kMainDataId;
    config["port"] = options.port;
    if (options.port.rfind("tcp:", 0) != 0) config["baud"] = options.baud;
    config["address"] = options.address;
    Json::Value ac(Json::arrayValue);
    if (found.ac)
        for (size_t k = 0; k < found.ac->size(); ++k)
            ac.append(Json::Value(Json::objectValue))["data_id"] = static_cast<Json::UInt>(kFirstAcDataId + k);
    config["acSetting"] = ac;
    Json::Value dc(Json::arrayValue);
    if (found.dc)
        for (size_t k = 0; k < found.dc->size(); ++k)
            dc.append(Json::Value(Json::objectValue))["data_id"] = static_cast<Json::UInt>(kFirstDcDataId + k);
    config["dcSetting"] = dc;
    config["rcSetting"] = Json::Value(Json::objectValue);

    Json::Value about(Json::objectValue);
    about["ver"] = Hex2(found.ver);
    if (found.model) about["model"] = *found.model;
    if (found.ac) {
        Json::Value units(Json::arrayValue);
        for (const AcUnit& unit : *found.ac) units.append(Json::Value(Json::objectValue))["channels"] = unit.channels;
        about["ac_units"] = units;
    }
    if (found.dc) {
        Json::Value units(Json::arrayValue);
        for (const DcUnit& unit : *found.dc)
            units.append(Json::Value(Json::objectValue))["battery_groups"] = unit.batteryGroups;
        about["dc_units"] = units;
    }
    if (found.rectifierModules) about["rectifier_modules"] = *found.rectifierModules;
    config["discovered"] = about;
    return config;
}

int RunDiscover(const DiscoverOptions& options, std::ostream& out, std::ostream& err)
{
    Line line(options);
    std::string error;
    if (!line.Open(error)) {
        err << "vx42b-poll discover: " << error << '\n';
        return line.InUse() ? 2 : 1;
    }
    err << "vx42b-poll discover: asking address " << options.address << " on " << options.port
        << (options.port.rfind("tcp:", 0) == 0 ? "" : " at " + std::to_string(options.baud) + " baud") << '\n';

    Discovery found;
    std::vector<unsigned char> info;
    std::string why;
    auto note = [&err, &found](const std::string& what, const std::string& reason) {
        found.missing.push_back(what + ": " + reason);
        err << "  " << what << ": not found (" << reason << ")\n";
    };

    if (line.Ask(0x40, 0x51, false, info, why)) {
        found.model = ModelText(info.data(), info.size());
        err << "  model: " << *found.model << '\n';
    } else {
        note("model", why);
        // Nothing on the line at all: asking more only takes longer.
        if (!line.Heard()) {
            err << "vx42b-poll discover: the power system did not answer; check the port, --baud and --address\n";
            return 1;
        }
    }

    why.clear();
    if (line.Ask(0x40, 0x41, true, info, why)) {
        std::vector<AcUnit> units;
        if (AcUnitsFromAnalog(info.data(), info.size(), units, error)) {
            found.ac = units;
            err << "  AC units: " << units.size();
            for (size_t k = 0; k < units.size(); ++k)
                err << (k == 0 ? " (" : ", ") << units[k].channels
                    << (units[k].channels == 1 ? " channel" : " channels");
            err << (units.empty() ? "" : ")") << '\n';
        } else {
            note("AC units", error);
        }
    } else {
        note("AC units", why);
    }

    why.clear();
    if (line.Ask(0x41, 0x41, false, info, why)) {
        unsigned modules = 0;
        if (ModulesFromAnalog(info.data(), info.size(), modules, error)) {
            found.rectifierModules = modules;
            err << "  rectifier modules: " << modules << '\n';
        } else {
            note("rectifier modules", error);
        }
    } else {
        note("rectifier modules", why);
    }

    why.clear();
    if (line.Ask(0x42, 0x41, line.Ver() == 0x21, info, why)) {
        std::vector<DcUnit> units;
        if (DcUnitsFromAnalog(info.data(), info.size(), units, error)) {
            found.dc = units;
            err << "  DC units: " << units.size();
            for (size_t k = 0; k < units.size(); ++k)
                err << (k == 0 ? " (" : ", ") << units[k].batteryGroups << " battery groups";
            err << (units.empty() ? "" : ")") << '\n';
        } else {
            note("DC units", error);
        }
    } else {
        note("DC units", why);
    }
    found.ver = line.Ver();
    err << "  VER: " << Hex2(found.ver) << '\n';

    if (!line.Heard()) {
        err << "vx42b-poll discover: the power system did not answer; check the port, --baud and --address\n";
        return 1;
    }
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "  ";
    out << Json::writeString(writer, DiscoveredConfig(found, options)) << '\n';
    out.flush();
    err << "vx42b-poll discover: the data ids (main " << kMainDataId << ", AC from " << kFirstAcDataId << ", DC from "
        << kFirstDcDataId << ") are placeholders: set them to your host's";
    if (!found.missing.empty()) err << "; what was not found is left out of the configuration";
    err << '\n';
    return 0;
}

}  // namespace vxpoll

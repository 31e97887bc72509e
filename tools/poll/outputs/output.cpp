#include "output.h"

#include <unistd.h>

#include <cstdio>
#include <iomanip>
#include <sstream>
#include <utility>

#include "json_line.h"
#include "record_decoder.h"
#include "screen_model.h"

namespace vxpoll {

namespace {

void AddDevice(Json::Value& v, const DeviceRef& device)
{
    v["data_id"] = static_cast<Json::UInt>(device.dataId);
    v["device_type"] = device.type;
}

void AddRule(Json::Value& v, const rule_value& rule)
{
    v["level"] = static_cast<Json::Int>(rule.level);
    v["key"] = rule.key;
    v["code"] = rule.code;
    v["name"] = rule.name;
    v["text"] = rule.text;
}

// Printable ASCII as it is, CR dropped (it ends every frame), anything else as \xNN.
std::string FrameText(const std::string& bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\r') continue;
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

std::string ClockText()
{
    // "YYYY-MM-DDTHH:MM:SS.mmm" -> "HH:MM:SS"
    return NowText().substr(11, 8);
}

std::string ValueText(const Json::Value& v)
{
    if (v.isNull()) return "-";
    if (v.isArray()) {
        std::string out = "[";
        for (Json::ArrayIndex k = 0; k < v.size(); ++k) {
            if (k > 0) out += ",";
            out += ValueText(v[k]);
        }
        return out + "]";
    }
    if (v.isDouble()) return ShortestText(v.asDouble());
    return v.asString();
}

}  // namespace

void AddDecodedFields(Json::Value& event, int recordType, const unsigned char* data, size_t size)
{
    Json::Value fields;
    std::string error;
    if (DecodeRecord(recordType, data, size, fields, error))
        event["fields"] = std::move(fields);
    else
        event["decode_error"] = error;
}

Json::Value PublishJson(const DeviceRef& device, int recordType, const unsigned char* data, size_t size)
{
    Json::Value v(Json::objectValue);
    AddDevice(v, device);
    v["record_type"] = recordType;
    v["size"] = static_cast<Json::UInt>(size);
    v["image"] = HexString(data, size);
    AddDecodedFields(v, recordType, data, size);
    return v;
}

Json::Value RuleJson(const DeviceRef& device, const rule_value& rule)
{
    Json::Value v(Json::objectValue);
    AddDevice(v, device);
    AddRule(v, rule);
    v["state"] = rule.value != 0;
    v["seq"] = static_cast<Json::UInt>(rule.sequence);
    return v;
}

Json::Value AlarmJson(const DeviceRef& device, const rule_value& rule, bool raised)
{
    Json::Value v(Json::objectValue);
    AddDevice(v, device);
    v["transition"] = raised ? "raised" : "cleared";
    AddRule(v, rule);
    v["seq"] = static_cast<Json::UInt>(rule.sequence);
    return v;
}

Json::Value HistoryJson(const DeviceRef& device, int recordType, const unsigned char* data, size_t size)
{
    Json::Value v(Json::objectValue);
    AddDevice(v, device);
    v["record_type"] = recordType;
    v["size"] = static_cast<Json::UInt>(size);
    v["image"] = HexString(data, size);
    return v;
}

Json::Value FrameJson(bool, const std::string& bytes)
{
    Json::Value v(Json::objectValue);
    v["hex"] = HexString(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    v["text"] = FrameText(bytes);
    return v;
}

Json::Value ValueJson(unsigned long round, const Query& query, bool ok, float value, const std::string& error)
{
    Json::Value v(Json::objectValue);
    v["round"] = static_cast<Json::UInt64>(round);
    v["data_id"] = static_cast<Json::UInt>(query.dataId);
    v["key"] = query.key;
    if (ok)
        v["value"] = FloatJson(value);
    else
        v["error"] = error;
    return v;
}

Json::Value LineJson(const LineStats& stats)
{
    Json::Value v(Json::objectValue);
    v["state"] = stats.up ? "up" : "down";
    v["since"] = LocalTimeText(stats.since);
    if (!stats.up) v["reason"] = stats.reason;
    v["last_reply"] = stats.HasReply() ? Json::Value(LocalTimeText(stats.lastReply)) : Json::Value();
    return v;
}

// ---- JSON lines ----

void JsonSink::Emit(const char* event, Json::Value value)
{
    // Members are kept in name order, so adding these two to the event's own
    // object writes the same line as building the line around it.
    value["event"] = event;
    value["time"] = NowText();
    WriteJsonLine(out_, value);
    out_.flush();
}

void JsonSink::Write()
{
    AppendLiteral(line_, ",\"time\":\"");
    AppendLocalTimeText(line_, std::chrono::system_clock::now());
    AppendLiteral(line_, "\"}\n");
    out_.write(line_.data(), static_cast<std::streamsize>(line_.size()));
}

void JsonSink::Round(unsigned long number, bool complete, double seconds)
{
    line_.assign(complete ? "{\"complete\":true,\"duration_s\":" : "{\"complete\":false,\"duration_s\":");
    AppendJsonReal(line_, static_cast<double>(static_cast<long long>(seconds * 1000 + 0.5)) / 1000);
    AppendLiteral(line_, ",\"event\":\"round\",\"round\":");
    AppendInteger(line_, static_cast<long long>(number));
    Write();
    out_.flush();
}

void JsonSink::Publish(const DeviceRef& device, int recordType, const unsigned char* data, size_t size)
{
    PublishDecoded(device, DecodePublication(recordType, data, size));
}

// PublishJson's line.
void JsonSink::PublishDecoded(const DeviceRef& device, const Publication& image)
{
    std::string& line = line_;
    line.clear();
    AppendLiteral(line, "{\"data_id\":");
    AppendInteger(line, static_cast<long long>(device.dataId));
    if (!image.fields) {
        AppendLiteral(line, ",\"decode_error\":");
        AppendJsonString(line, image.decodeError);
    }
    AppendLiteral(line, ",\"device_type\":");
    AppendJsonString(line, device.type);
    AppendLiteral(line, ",\"event\":\"publish\"");
    if (image.fields) {
        AppendLiteral(line, ",\"fields\":");
        AppendJson(line, *image.fields);
    }
    AppendLiteral(line, ",\"image\":");
    AppendHexString(line, image.data, image.size);
    AppendLiteral(line, ",\"record_type\":");
    AppendInteger(line, static_cast<long long>(image.recordType));
    AppendLiteral(line, ",\"size\":");
    AppendInteger(line, static_cast<long long>(image.size));
    Write();
}

void JsonSink::Rule(const DeviceRef& device, const rule_value& rule)
{
    // RuleJson's line.
    std::string& line = line_;
    line.clear();
    AppendLiteral(line, "{\"code\":");
    AppendJsonString(line, rule.code);
    AppendLiteral(line, ",\"data_id\":");
    AppendInteger(line, static_cast<long long>(device.dataId));
    AppendLiteral(line, ",\"device_type\":");
    AppendJsonString(line, device.type);
    AppendLiteral(line, ",\"event\":\"rule\",\"key\":");
    AppendJsonString(line, rule.key);
    AppendLiteral(line, ",\"level\":");
    AppendInteger(line, static_cast<long long>(rule.level));
    AppendLiteral(line, ",\"name\":");
    AppendJsonString(line, rule.name);
    AppendLiteral(line, ",\"seq\":");
    AppendInteger(line, static_cast<long long>(rule.sequence));
    line += rule.value != 0 ? ",\"state\":true,\"text\":" : ",\"state\":false,\"text\":";
    AppendJsonString(line, rule.text);
    Write();
}

void JsonSink::Alarm(const DeviceRef& device, const rule_value& rule, bool raised)
{
    Emit("alarm", AlarmJson(device, rule, raised));
}

// HistoryJson's line.
void JsonSink::History(const DeviceRef& device, int recordType, const unsigned char* data, size_t size)
{
    std::string& line = line_;
    line.clear();
    AppendLiteral(line, "{\"data_id\":");
    AppendInteger(line, static_cast<long long>(device.dataId));
    AppendLiteral(line, ",\"device_type\":");
    AppendJsonString(line, device.type);
    AppendLiteral(line, ",\"event\":\"history\",\"image\":");
    AppendHexString(line, data, size);
    AppendLiteral(line, ",\"record_type\":");
    AppendInteger(line, static_cast<long long>(recordType));
    AppendLiteral(line, ",\"size\":");
    AppendInteger(line, static_cast<long long>(size));
    Write();
}

void JsonSink::Log(const std::string& text, LogSource source)
{
    line_.assign(source == LogSource::Device ? "{\"event\":\"log\",\"source\":\"device\",\"text\":"
                                             : "{\"event\":\"log\",\"source\":\"poller\",\"text\":");
    AppendJsonString(line_, text);
    Write();
    out_.flush();
}

void JsonSink::Value(unsigned long round, const Query& query, bool ok, float value, const std::string& error)
{
    Emit("value", ValueJson(round, query, ok, value, error));
}

void JsonSink::Frame(bool tx, const std::string& bytes) { Emit(tx ? "tx" : "rx", FrameJson(tx, bytes)); }

void JsonSink::LineChanged(const LineStats& stats) { Emit("line", LineJson(stats)); }

void JsonSink::Tick() { out_.flush(); }

void JsonSink::Line(const LineStats& stats)
{
    lineSeen_ = true;
    roundsComplete_ = stats.roundsComplete;
    roundsAbandoned_ = stats.roundsAbandoned;
    timeouts_ = stats.timeouts;
    const unsigned long errors = stats.FrameErrorTotal();
    if (errors != frameErrorTotal_) frameErrors_ = stats.frameErrors;
    frameErrorTotal_ = errors;
}

void JsonSink::Finish()
{
    out_.flush();
    if (!lineSeen_ || out_.bad()) return;
    // What a script checks before it trusts a run: nothing abandoned,
    // nothing timed out, nothing refused.
    Json::Value v(Json::objectValue);
    v["rounds_complete"] = static_cast<Json::UInt64>(roundsComplete_);
    v["rounds_abandoned"] = static_cast<Json::UInt64>(roundsAbandoned_);
    v["timeouts"] = static_cast<Json::UInt64>(timeouts_);
    v["frame_errors"] = static_cast<Json::UInt64>(frameErrorTotal_);
    Json::Value kinds(Json::objectValue);
    for (const auto& [kind, n] : frameErrors_)
        if (n != 0) kinds[kind] = static_cast<Json::UInt64>(n);
    v["frame_error_kinds"] = kinds;
    Emit("summary", v);
}

// ---- human view ----

std::vector<std::string> HumanSink::TableRows(const DeviceRef& device, int recordType, const unsigned char* data,
                                              size_t size)
{
    return TableRows(device, DecodePublication(recordType, data, size));
}

std::vector<std::string> HumanSink::TableRows(const DeviceRef& device, const Publication& image)
{
    std::vector<std::string> rows;
    if (!image.fields) {
        std::string head = "  " + UnitTitle(device.type, device.dataId);
        head.resize(std::max<size_t>(head.size() + 1, 15), ' ');
        rows.push_back(head + "(" + std::to_string(image.size) + "-byte image: " + image.decodeError + ")");
        return rows;
    }
    for (const std::string& row : ScreenModel::DeviceRows(device, image.recordType, *image.fields))
        rows.push_back("  " + row);
    return rows;
}

void HumanSink::ReadTrace()
{
    if (traceFd_ < 0) return;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(traceFd_, buffer, sizeof buffer);
        if (n <= 0) break;
        tracePartial_.append(buffer, static_cast<size_t>(n));
        for (size_t nl; (nl = tracePartial_.find('\n')) != std::string::npos;) {
            Log("trace  " + tracePartial_.substr(0, nl), LogSource::Device);
            tracePartial_.erase(0, nl + 1);
        }
        // A line that never ends is not a trace line.
        if (tracePartial_.size() > 4096) tracePartial_.clear();
    }
}

void HumanSink::Round(unsigned long number, bool complete, double seconds)
{
    ReadTrace();
    FlushRepeats();
    std::ostringstream head;
    head << "-- round " << number << " | " << (complete ? "complete" : "abandoned") << " | " << std::fixed
         << std::setprecision(2) << seconds << " s | " << ClockText() << " --";
    out_ << head.str() << '\n';
    for (const std::string& row : table_) out_ << row << '\n';
    for (const std::string& row : transitions_) out_ << row << '\n';
    table_.clear();
    transitions_.clear();
    out_.flush();
}

void HumanSink::Publish(const DeviceRef& device, int recordType, const unsigned char* data, size_t size)
{
    PublishDecoded(device, DecodePublication(recordType, data, size));
}

void HumanSink::PublishDecoded(const DeviceRef& device, const Publication& image)
{
    for (std::string& row : TableRows(device, image)) table_.push_back(std::move(row));
}

void HumanSink::Alarm(const DeviceRef& device, const rule_value& rule, bool raised)
{
    std::ostringstream row;
    row << "  alarm " << (raised ? "raised " : "cleared") << "  L" << rule.level << "  "
        << UnitTitle(device.type, device.dataId) << "  " << AlarmLine(DescribeAlarm(rule, lang_)) << "  [" << rule.key
        << " " << rule.code << "]";
    transitions_.push_back(row.str());
}

void HumanSink::Log(const std::string& text, LogSource source)
{
    const std::string line = source == LogSource::Device ? "log  " + text : "vx42b-poll: " + text;
    if (logCounts_[line]++ > 0) return;
    logOrder_.push_back(line);
    out_ << ClockText() << " " << line << '\n';
    out_.flush();
}

void HumanSink::FlushRepeats()
{
    for (const std::string& line : logOrder_) {
        const unsigned long n = logCounts_[line];
        if (n > 1) out_ << ClockText() << " (" << n - 1 << " more) " << line << '\n';
    }
    logOrder_.clear();
    logCounts_.clear();
    lastFlush_ = Clock::now();
}

void HumanSink::Value(unsigned long, const Query& query, bool ok, float value, const std::string& error)
{
    out_ << "  value " << query.dataId << ":" << query.key;
    if (ok)
        out_ << " = " << ValueText(FloatJson(value)) << '\n';
    else
        out_ << ": " << error << '\n';
    out_.flush();
}

void HumanSink::Frame(bool tx, const std::string& bytes)
{
    out_ << ClockText() << (tx ? " tx " : " rx ") << FrameText(bytes) << '\n';
    out_.flush();
}

void HumanSink::LineChanged(const LineStats& stats)
{
    out_ << ClockText() << " vx42b-poll: line "
         << (stats.up ? "up" : "down: " + NoReplyText(stats, LineStats::WallClock::now())) << '\n';
    out_.flush();
}

void HumanSink::Tick()
{
    ReadTrace();
    if (!logOrder_.empty() && Clock::now() - lastFlush_ >= std::chrono::seconds(30)) FlushRepeats();
}

void HumanSink::Finish()
{
    ReadTrace();
    FlushRepeats();
    out_.flush();
}

}  // namespace vxpoll

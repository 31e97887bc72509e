#include "mqtt_sink.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include <mosquitto.h>

#include "json_line.h"
#include "record_decoder.h"
#include "state_view.h"
#include "units.h"
#include "vocabulary.h"

namespace vxpoll {

namespace {

constexpr std::chrono::seconds kConnectLimit{10};
constexpr std::chrono::seconds kFinishLimit{3};

// Home Assistant ids allow letters, digits, '_' and '-'.
std::string IdText(const std::string& text)
{
    std::string out;
    for (char c : text) out.push_back(std::isalnum(static_cast<unsigned char>(c)) || c == '-' ? c : '_');
    return out;
}

// A quoted Jinja string literal (JSON's quoting reads the same).
std::string JsonText(const std::string& text) { return ToJsonLine(Json::Value(text)); }

bool ValidTopicPart(const std::string& text)
{
    return text.find_first_of("+#") == std::string::npos && text.find('\0') == std::string::npos;
}

struct InitLibrary {
    InitLibrary() { mosquitto_lib_init(); }
};

void EnsureLibrary()
{
    static InitLibrary once;
    (void)once;
}

}  // namespace

// ---- options ----

bool ParseMqttUrl(const std::string& url, MqttOptions& o, std::string& error)
{
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        o.tls = false;
        o.port = 1883;
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        o.tls = true;
        o.port = 8883;
        rest = url.substr(8);
    } else {
        error = "expected mqtt://HOST[:PORT][/PREFIX] or mqtts://..., got \"" + url + "\"";
        return false;
    }
    const size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    std::string prefix = slash == std::string::npos ? std::string() : rest.substr(slash + 1);
    while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
    if (authority.find('@') != std::string::npos) {
        error = "no user name or password in the URL (they would show in the process list); use --mqtt-auth FILE";
        return false;
    }
    std::string portText;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos) {
            error = "unclosed [ in \"" + url + "\"";
            return false;
        }
        o.host = authority.substr(1, close - 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':') {
                error = "expected :PORT after ] in \"" + url + "\"";
                return false;
            }
            portText = authority.substr(close + 2);
        }
    } else {
        const size_t colon = authority.find(':');
        o.host = authority.substr(0, colon);
        if (colon != std::string::npos) portText = authority.substr(colon + 1);
    }
    if (o.host.empty()) {
        error = "no broker host in \"" + url + "\"";
        return false;
    }
    if (!portText.empty() || authority.find(':') != std::string::npos) {
        if (portText.empty() || portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(portText) < 1 || std::stoi(portText) > 65535) {
            error = "expected a port from 1 to 65535 in \"" + url + "\"";
            return false;
        }
        o.port = std::stoi(portText);
    }
    if (!ValidTopicPart(prefix) || prefix.find("//") != std::string::npos) {
        error = "the topic prefix \"" + prefix + "\" may not hold '+', '#' or empty levels";
        return false;
    }
    o.prefix = prefix;
    return true;
}

bool ParseMqttAuth(const std::string& text, const std::string& origin, std::string& user, std::string& password,
                   std::string& error)
{
    std::istringstream lines(text);
    std::string first, second;
    std::getline(lines, first);
    std::getline(lines, second);
    for (std::string* line : {&first, &second})
        if (!line->empty() && line->back() == '\r') line->pop_back();
    if (first.empty()) {
        error = origin + ": expected the user name on the first line and the password on the second";
        return false;
    }
    user = first;
    password = second;
    return true;
}

bool ReadMqttAuth(const std::string& path, std::string& user, std::string& password, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return ParseMqttAuth(text.str(), path, user, password, error);
}

// ---- discovery ----

namespace {

Json::Value DeviceJson(const MqttOptions& o, uint32_t mainDataId, const std::string& reportedModel)
{
    Json::Value device(Json::objectValue);
    Json::Value ids(Json::arrayValue);
    ids.append("vx42b_" + IdText(o.prefix));
    device["identifiers"] = ids;
    device["name"] = "VX42B " + std::to_string(mainDataId) + " (" + o.prefix + ")";
    device["manufacturer"] = o.manufacturer;
    device["model"] = "VX42B";
    // The model text the system itself reported, which on these systems carries its version.
    if (!reportedModel.empty()) device["sw_version"] = reportedModel;
    return device;
}

// Available only while both the poller's connection (status) and the line
// to the power system (line) are online.
void AddAvailability(Json::Value& config, const MqttOptions& o)
{
    Json::Value list(Json::arrayValue);
    for (const char* topic : {"/status", "/line"}) {
        Json::Value one(Json::objectValue);
        one["topic"] = o.prefix + topic;
        one["payload_available"] = "online";
        one["payload_not_available"] = "offline";
        list.append(one);
    }
    config["availability"] = list;
    config["availability_mode"] = "all";
}

// A state older than twice the line's down time is not shown, even if
// nothing said the line is down (a broker that kept an old retained state).
Json::UInt ExpireAfterSeconds(const Snapshot& snapshot)
{
    const auto ms = static_cast<Json::UInt>(snapshot.line.downAfter.count());
    return std::max<Json::UInt>(10, (2 * ms + 999) / 1000);
}

}  // namespace

std::vector<MqttMessage> DiscoveryMessages(const Snapshot& snapshot, const MqttOptions& o, uint32_t mainDataId)
{
    std::vector<MqttMessage> out;
    const std::string node = "vx42b_" + IdText(o.prefix);
    const Json::Value device = DeviceJson(o, mainDataId, snapshot.line.model);
    Json::Value origin(Json::objectValue);
    origin["name"] = "vx42b-poll";
#ifdef VX42B_VERSION
    origin["sw_version"] = VX42B_VERSION;
#endif
    const Json::UInt expireAfter = ExpireAfterSeconds(snapshot);
    auto common = [&](Json::Value& config, const std::string& object, const std::string& name) {
        config["name"] = name;
        config["unique_id"] = node + "_" + object;
        config["default_entity_id"] = node + "_" + object;
        config["expire_after"] = expireAfter;
        AddAvailability(config, o);
        config["device"] = device;
        config["origin"] = origin;
    };
    // One sensor per shown value: measurements with unit, class and state
    // class; settings and states as diagnostics. Counts are never entities.
    auto sensor = [&](const DeviceState& d, const FieldWords& w, const std::string& path, const std::string& suffix,
                      const std::string& place) {
        const std::string object = std::to_string(d.dataId) + "_" + IdText(suffix);
        Json::Value config(Json::objectValue);
        std::string name = UnitTitle(d.type, d.dataId) + (place.empty() ? "" : " " + place) + " " + w.label;
        common(config, object, name);
        config["state_topic"] = o.prefix + "/" + std::to_string(d.dataId) + "/state";
        config["value_template"] = "{{ value_json." + path + " }}";
        if (*w.unit != '\0') config["unit_of_measurement"] = w.unit;
        if (*w.deviceClass != '\0') config["device_class"] = w.deviceClass;
        if (w.kind == FieldKind::Measurement) {
            config["state_class"] = "measurement";
            config["suggested_display_precision"] = w.decimals;
        } else {
            config["entity_category"] = "diagnostic";
        }
        out.push_back({o.discoveryPrefix + "/sensor/" + node + "/" + object + "/config", ToJsonLine(config)});
    };
    auto fieldsOf = [&](const DeviceState& d, const std::vector<FieldSpec>& specs, const Json::Value& object,
                        const std::string& pathPrefix, const std::string& idPrefix, const std::string& place) {
        for (const FieldSpec& f : specs) {
            const FieldWords* w = FindFieldWords(d.recordType, f.name);
            if (w == nullptr || w->kind == FieldKind::Count || w->kind == FieldKind::Meta) continue;
            // States are told by the alarm entities; user-defined bytes have no meaning to show.
            if (w->kind == FieldKind::State) continue;
            const std::string path = pathPrefix + f.name;
            if (f.count == 1) {
                sensor(d, *w, path, idPrefix + f.name, place);
                continue;
            }
            const Json::Value& list = object[f.name];
            Json::ArrayIndex shown = list.isArray() ? list.size() : 0;
            if (*w->countedBy != '\0') {
                const Json::Value& count = object[w->countedBy];
                shown = std::min<Json::ArrayIndex>(shown, count.isUInt() ? count.asUInt() : 0);
            }
            for (Json::ArrayIndex k = 0; k < shown; ++k)
                sensor(d, *w, path + "[" + std::to_string(k) + "]", idPrefix + f.name + "_" + std::to_string(k + 1),
                       (place.empty() ? "" : place + " ") + w->element + " " + std::to_string(k + 1));
        }
    };
    for (const DeviceState& d : snapshot.devices) {
        const RecordLayout* layout = FindLayout(d.recordType);
        if (layout != nullptr && d.fields.isObject()) {
            fieldsOf(d, layout->head, d.fields, "", "", "");
            const Json::Value& items =
                layout->itemsName != nullptr ? d.fields[layout->itemsName] : Json::Value::nullSingleton();
            const std::string single = ItemName(d.recordType);
            for (Json::ArrayIndex k = 0; items.isArray() && k < items.size(); ++k) {
                const std::string n = std::to_string(k + 1);
                fieldsOf(d, layout->items, items[k], std::string(layout->itemsName) + "[" + std::to_string(k) + "].",
                         single + n + "_", single + " " + n);
            }
        }
        // One problem sensor per alarm item (each fuse, module, channel phase),
        // on while the alarm with that key and text is present.
        std::set<std::string> objects;
        for (const RuleState& r : d.rules) {
            const AlarmWords words = DescribeAlarm(r.key, r.code, r.name, r.text, o.lang);
            const std::string object = std::to_string(d.dataId) + "_" + IdText(SnakeCase(r.key)) +
                                       (words.itemId.empty() ? "" : "_" + words.itemId);
            if (!objects.insert(object).second) continue;
            Json::Value config(Json::objectValue);
            common(config, object, UnitTitle(d.type, d.dataId) + " " + AlarmLine(words));
            config["state_topic"] = o.prefix + "/" + std::to_string(d.dataId) + "/alarms";
            config["value_template"] = "{{ 'ON' if value_json | selectattr('key', 'equalto', " + JsonText(r.key) +
                                       ") | selectattr('text', 'equalto', " + JsonText(r.text) +
                                       ") | list | count > 0 else 'OFF' }}";
            config["device_class"] = "problem";
            out.push_back(
                {o.discoveryPrefix + "/binary_sensor/" + node + "/" + object + "/config", ToJsonLine(config)});
        }
    }
    return out;
}

// ---- the sink ----

MqttSink::MqttSink(const StateStore& store, MqttOptions options, uint32_t mainDataId, Logger log)
    : store_(store), options_(std::move(options)), mainDataId_(mainDataId), log_(std::move(log))
{
    if (options_.prefix.empty()) options_.prefix = "vx42b/" + std::to_string(mainDataId_);
    statusTopic_ = options_.prefix + "/status";
    lineTopic_ = options_.prefix + "/line";
}

MqttSink::~MqttSink()
{
    Shutdown();
    if (client_ != nullptr) mosquitto_destroy(client_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

std::string MqttSink::Url() const
{
    const bool v6 = options_.host.find(':') != std::string::npos;
    return std::string(options_.tls ? "mqtts://" : "mqtt://") + (v6 ? "[" : "") + options_.host + (v6 ? "]" : "") +
           ":" + std::to_string(options_.port);
}

bool MqttSink::Start(std::string& error)
{
    EnsureLibrary();
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        error = std::string("mqtt: eventfd: ") + std::strerror(errno);
        return false;
    }
    client_ = mosquitto_new(nullptr, true, this);
    if (client_ == nullptr) {
        error = std::string("mqtt: cannot create the client: ") + std::strerror(errno);
        return false;
    }
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    // The sink keeps its own bound on unacknowledged messages.
    mosquitto_max_inflight_messages_set(client_, 0);
    mosquitto_connect_callback_set(client_, &MqttSink::OnConnect);
    mosquitto_disconnect_callback_set(client_, &MqttSink::OnDisconnect);
    mosquitto_publish_callback_set(client_, &MqttSink::OnPublish);
    static const char offline[] = "offline";
    int rc = mosquitto_will_set(client_, statusTopic_.c_str(), static_cast<int>(sizeof offline - 1), offline, 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !options_.user.empty())
        rc = mosquitto_username_pw_set(client_, options_.user.c_str(),
                                       options_.password.empty() ? nullptr : options_.password.c_str());
    if (rc == MOSQ_ERR_SUCCESS && options_.tls) {
        const bool ownCa = !options_.caFile.empty();
        rc = mosquitto_tls_set(client_, ownCa ? options_.caFile.c_str() : nullptr, ownCa ? nullptr : "/etc/ssl/certs",
                               nullptr, nullptr, nullptr);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        error = std::string("mqtt: ") + (rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
        if (options_.tls && !options_.caFile.empty()) error += " (CA file " + options_.caFile + ")";
        return false;
    }
    SetRetained(statusTopic_, "online");
    // Until the first complete round nothing is known to work.
    SetRetained(lineTopic_, "offline");
    thread_ = std::thread([this] { Run(); });
    return true;
}

void MqttSink::Wake()
{
    const uint64_t one = 1;
    if (wakeFd_ >= 0) (void)!::write(wakeFd_, &one, sizeof one);
}

void MqttSink::Note(const std::string& text)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (notes_.size() < 100) notes_.push_back("mqtt: " + text);
}

void MqttSink::FlushNotes()
{
    std::vector<std::string> notes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        notes.swap(notes_);
    }
    for (const std::string& n : notes)
        if (log_) log_(n);
}

void MqttSink::SetRetained(const std::string& topic, const std::string& payload)
{
    auto found = retained_.find(topic);
    if (found == retained_.end()) {
        retained_[topic] = Retained{payload, true};
        order_.push_back(topic);
        return;
    }
    if (found->second.payload == payload) return;
    found->second.payload = payload;
    found->second.dirty = true;
}

void MqttSink::Round(unsigned long, bool complete, double)
{
    FlushNotes();
    if (!complete) return;
    const std::shared_ptr<const Snapshot> snapshot = store_.Current();
    std::vector<MqttMessage> discovery;
    if (options_.discovery) discovery = DiscoveryMessages(*snapshot, options_, mainDataId_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const MqttMessage& m : discovery) SetRetained(m.topic, m.payload);
        for (const DeviceState& d : snapshot->devices) {
            const std::string base = options_.prefix + "/" + std::to_string(d.dataId);
            if (d.fields.isObject()) SetRetained(base + "/state", ToJsonLine(DeviceStateJson(d)));
            SetRetained(base + "/alarms", ToJsonLine(AlarmsJson(d)));
        }
    }
    Wake();
}

void MqttSink::Alarm(const DeviceRef& device, const rule_value& rule, bool raised)
{
    Json::Value event = AlarmJson(device, rule, raised);
    event["time"] = NowText();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (events_.size() >= options_.eventLimit) {
            events_.pop_front();
            ++droppedEvents_;
        }
        events_.push_back(ToJsonLine(event));
    }
    Wake();
}

void MqttSink::LineChanged(const LineStats& stats)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        SetRetained(lineTopic_, stats.up ? "online" : "offline");
    }
    Wake();
}

void MqttSink::Tick() { FlushNotes(); }

void MqttSink::Finish()
{
    Shutdown();
    FlushNotes();
}

void MqttSink::Shutdown()
{
    if (!thread_.joinable()) return;
    stop_ = true;
    Wake();
    thread_.join();
}

// ---- the broker thread ----

void MqttSink::OnConnect(mosquitto*, void* self, int rc)
{
    auto* sink = static_cast<MqttSink*>(self);
    if (rc != 0) {
        sink->Lost(std::string("refused: ") + mosquitto_connack_string(rc));
        return;
    }
    sink->link_ = Link::Up;
    sink->backoff_.Reset();
    // Whatever the library still holds from before is resent by it; counting
    // afresh keeps a lost acknowledgement from stalling the sink for good.
    sink->inflight_ = 0;
    sink->Note(std::string(sink->wasUp_ ? "connected again to " : "connected to ") + sink->Url());
    sink->wasUp_ = true;
    // Whatever the broker had from us may be gone: send the latest of everything.
    std::lock_guard<std::mutex> lock(sink->mutex_);
    for (auto& r : sink->retained_) r.second.dirty = true;
}

void MqttSink::OnDisconnect(mosquitto*, void* self, int rc)
{
    auto* sink = static_cast<MqttSink*>(self);
    sink->Lost(rc == 0 ? "disconnected" : rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
}

void MqttSink::OnPublish(mosquitto*, void* self, int)
{
    auto* sink = static_cast<MqttSink*>(self);
    if (sink->inflight_ > 0) --sink->inflight_;
}

void MqttSink::Lost(const std::string& why)
{
    if (link_ == Link::Down) return;
    const bool wasUp = link_ == Link::Up;
    link_ = Link::Down;
    if (stop_) return;
    const std::chrono::seconds delay = backoff_.Next();
    nextAttempt_ = Clock::now() + delay;
    Note((wasUp ? "connection to " + Url() + " lost: " : "cannot connect to " + Url() + ": ") + why +
         "; trying again in " + std::to_string(delay.count()) + " s");
}

void MqttSink::Connect()
{
    connectStarted_ = Clock::now();
    const int rc = mosquitto_connect_async(client_, options_.host.c_str(), options_.port, options_.keepalive);
    if (rc == MOSQ_ERR_SUCCESS) {
        link_ = Link::Connecting;
        return;
    }
    const std::chrono::seconds delay = backoff_.Next();
    nextAttempt_ = Clock::now() + delay;
    Note("cannot connect to " + Url() + ": " + (rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc)) +
         "; trying again in " + std::to_string(delay.count()) + " s");
}

bool MqttSink::Send(const std::string& topic, const std::string& payload, bool retain)
{
    const int rc =
        mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain);
    if (rc != MOSQ_ERR_SUCCESS) return false;
    ++inflight_;
    return true;
}

void MqttSink::SendPending()
{
    if (link_ != Link::Up) return;
    for (;;) {
        if (inflight_ >= options_.inflightLimit) return;
        // Retained topics first, in the order they first appeared (status first).
        std::string topic, payload;
        bool retain = false;
        unsigned long dropped = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const std::string& t : order_) {
                Retained& r = retained_[t];
                if (!r.dirty) continue;
                r.dirty = false;
                topic = t;
                payload = r.payload;
                retain = true;
                break;
            }
            if (!retain) {
                if (events_.empty()) return;
                topic = options_.prefix + "/events";
                payload = std::move(events_.front());
                events_.pop_front();
                dropped = droppedEvents_;
                droppedEvents_ = 0;
            }
        }
        if (dropped > 0) Note(std::to_string(dropped) + " alarm events dropped while the broker was away");
        if (!Send(topic, payload, retain)) {
            // The connection is going; what was taken goes back for the next one.
            std::lock_guard<std::mutex> lock(mutex_);
            if (retain)
                retained_[topic].dirty = true;
            else
                events_.push_front(std::move(payload));
            return;
        }
    }
}

void MqttSink::Run()
{
    nextAttempt_ = Clock::now();
    bool finishing = false;
    Clock::time_point finishBy{};
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (stop_ && !finishing) {
            finishing = true;
            finishBy = now + kFinishLimit;
            if (link_ != Link::Up) break;
            SendPending();
            // A clean stop says so; the will is only for a lost connection.
            {
                std::lock_guard<std::mutex> lock(mutex_);
                retained_[statusTopic_].payload = "offline";
            }
            Send(statusTopic_, "offline", true);
        }
        if (finishing) {
            if (link_ != Link::Up || now >= finishBy) break;
            if (inflight_ == 0) {
                mosquitto_disconnect(client_);
                break;
            }
        }
        if (!finishing && link_ == Link::Down && now >= nextAttempt_) Connect();
        if (link_ == Link::Connecting && now - connectStarted_ > kConnectLimit) {
            mosquitto_disconnect(client_);
            Lost("no answer within " + std::to_string(kConnectLimit.count()) + " s");
        }
        SendPending();

        const int sock = mosquitto_socket(client_);
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {sock, 0, 0}};
        nfds_t n = 1;
        if (sock >= 0 && link_ != Link::Down) {
            fds[1].events = static_cast<short>(POLLIN | (mosquitto_want_write(client_) ? POLLOUT : 0));
            n = 2;
        }
        int timeoutMs = 1000;
        if (link_ == Link::Down && !finishing) {
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextAttempt_ - Clock::now());
            timeoutMs = static_cast<int>(std::max<long long>(0, std::min<long long>(wait.count(), 1000)));
        }
        if (finishing) timeoutMs = 100;
        ::poll(fds, n, timeoutMs);
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            (void)!::read(wakeFd_, &count, sizeof count);
        }
        if (n == 2) {
            int rc = MOSQ_ERR_SUCCESS;
            if (fds[1].revents & (POLLIN | POLLERR | POLLHUP)) rc = mosquitto_loop_read(client_, 1);
            if (rc == MOSQ_ERR_SUCCESS && (fds[1].revents & POLLOUT)) rc = mosquitto_loop_write(client_, 1);
            if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_misc(client_);
            if (rc != MOSQ_ERR_SUCCESS && link_ != Link::Down) {
                Lost(rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
                mosquitto_disconnect(client_);
            }
        }
    }
    // Let the DISCONNECT out.
    if (mosquitto_socket(client_) >= 0) mosquitto_loop_write(client_, 1);
}

}  // namespace vxpoll

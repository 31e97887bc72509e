#include "net_outputs.h"

#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <ostream>

#include "history_db.h"
#include "http_server.h"
#include "json_line.h"
#include "mqtt_sink.h"
#include "poller.h"
#include "state_store.h"

namespace vxpoll {

bool WantsNetOutputs(const Options& options) { return !options.mqttUrl.empty() || !options.httpAddress.empty(); }

#ifdef VX42B_POLL_WITH_NET

namespace {

constexpr size_t kSeedChunk = 2000;

bool SharedWithOthers(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & (S_IRWXG | S_IRWXO)) != 0;
}

}  // namespace

NetSink::NetSink(const Options& options, EventSink& log) : options_(options), log_(log) {}

NetSink::~NetSink() { Finish(); }

int NetSink::HttpPort() const { return http_ ? http_->Port() : 0; }

bool NetSink::Start(uint32_t mainDataId, std::ostream& err)
{
    store_ = std::make_unique<StateStore>();
    std::string error;
    MqttOptions mqtt;
    if (!options_.mqttUrl.empty()) {
        if (!ParseMqttUrl(options_.mqttUrl, mqtt, error)) {
            err << "vx42b-poll: --mqtt: " << error << '\n';
            return false;
        }
        if (!options_.mqttAuthFile.empty()) {
            if (!ReadMqttAuth(options_.mqttAuthFile, mqtt.user, mqtt.password, error)) {
                err << "vx42b-poll: --mqtt-auth: " << error << '\n';
                return false;
            }
            if (SharedWithOthers(options_.mqttAuthFile))
                Say("--mqtt-auth: " + options_.mqttAuthFile + " is readable by other users; chmod 600 it");
        }
        if (!options_.mqttCaFile.empty() && !mqtt.tls) {
            err << "vx42b-poll: --mqtt-ca needs an mqtts:// URL\n";
            return false;
        }
        mqtt.caFile = options_.mqttCaFile;
        mqtt.discovery = !options_.mqttDiscovery.empty();
        if (mqtt.discovery) mqtt.discoveryPrefix = options_.mqttDiscovery;
        if (!options_.mqttManufacturer.empty()) mqtt.manufacturer = options_.mqttManufacturer;
        mqtt.lang = options_.lang;
    }
    HttpOptions http;
    if (!options_.httpAddress.empty()) {
        if (!ParseHttpAddress(options_.httpAddress, http.host, http.port, error)) {
            err << "vx42b-poll: --http: " << error << '\n';
            return false;
        }
        http.authFile = options_.httpAuthFile;
        http.certFile = options_.httpCertFile;
        http.keyFile = options_.httpKeyFile;
        http.historyPath = options_.historyPath;
        http.lang = options_.lang;
        if (!http.keyFile.empty() && SharedWithOthers(http.keyFile))
            Say("--http-key: " + http.keyFile + " is readable by other users; chmod 600 it");
        if (!http.authFile.empty() && SharedWithOthers(http.authFile))
            Say("--http-auth: " + http.authFile + " is readable by other users; chmod 600 it");
    }

    if (!options_.historyPath.empty()) SeedPlots();
    if (!options_.httpAddress.empty()) {
        http_ = std::make_unique<HttpServer>(*store_, http);
        if (!http_->Start(error, [this](const std::string& text) { Say(text); })) {
            err << "vx42b-poll: --http: " << error << '\n';
            http_.reset();
            return false;
        }
        Say("http: serving " + http_->Url());
    }
    if (!options_.mqttUrl.empty()) {
        mqtt_ = std::make_unique<MqttSink>(*store_, mqtt, mainDataId, [this](const std::string& text) { Say(text); });
        if (!mqtt_->Start(error)) {
            err << "vx42b-poll: --mqtt: " << error << '\n';
            mqtt_.reset();
            return false;
        }
        Say("mqtt: publishing to " + mqtt_->Url() + " under " + mqtt_->Prefix() + "/");
    }
    return true;
}

void NetSink::SeedPlots()
{
    HistoryDb db;
    std::string error;
    // A history file that does not exist yet has nothing to show.
    if (!db.OpenForReading(options_.historyPath, error)) return;
    const auto from = std::chrono::system_clock::now() - std::chrono::hours(6);
    size_t rows = 0;
    int64_t after = 0;
    bool ok = db.FirstIdFrom(LocalTimeText(from), after, error);
    --after;
    // In chunks from the first row of the window: a long history is not scanned.
    for (size_t chunk = kSeedChunk; ok && chunk == kSeedChunk;) {
        chunk = 0;
        ok = db.ForEachAfter(
            after, static_cast<int>(kSeedChunk),
            [this, &rows, &chunk, &after](const HistoryRow& row) {
                ++rows;
                ++chunk;
                after = row.id;
                store_->SeedPlot(HistoryTimeSeconds(row.time), row.dataId, row.deviceType, row.recordType,
                                 reinterpret_cast<const unsigned char*>(row.image.data()), row.image.size());
            },
            error);
    }
    if (!ok) {
        Say("http: cannot read the plots' history from " + options_.historyPath + ": " + error);
        return;
    }
    if (rows > 0) store_->PublishNow();
}

// The store first: the broker client reads the snapshot the store has just published.
void NetSink::Round(unsigned long number, bool complete, double seconds)
{
    if (store_) store_->Round(number, complete, seconds);
    if (mqtt_) mqtt_->Round(number, complete, seconds);
}

void NetSink::Publish(const DeviceRef& device, int recordType, const unsigned char* data, size_t size)
{
    if (store_) store_->Publish(device, recordType, data, size);
}

void NetSink::Rule(const DeviceRef& device, const rule_value& rule)
{
    if (store_) store_->Rule(device, rule);
}

void NetSink::Alarm(const DeviceRef& device, const rule_value& rule, bool raised)
{
    if (store_) store_->Alarm(device, rule, raised);
    if (mqtt_) mqtt_->Alarm(device, rule, raised);
}

void NetSink::Line(const LineStats& stats)
{
    if (store_) store_->Line(stats);
}

// The store first, as for a round.
void NetSink::LineChanged(const LineStats& stats)
{
    if (store_) store_->LineChanged(stats);
    if (mqtt_) mqtt_->LineChanged(stats);
}

void NetSink::Tick()
{
    if (mqtt_) mqtt_->Tick();
}

void NetSink::Finish()
{
    if (http_) http_->Stop();
    if (mqtt_) mqtt_->Finish();
}

#else

NetSink::NetSink(const Options& options, EventSink& log) : options_(options), log_(log) {}
NetSink::~NetSink() = default;
int NetSink::HttpPort() const { return 0; }
bool NetSink::Start(uint32_t, std::ostream& err)
{
    err << "vx42b-poll: this build has no --mqtt and --http (built without libmosquitto and cpp-httplib)\n";
    return false;
}
void NetSink::Round(unsigned long, bool, double) {}
void NetSink::Publish(const DeviceRef&, int, const unsigned char*, size_t) {}
void NetSink::Rule(const DeviceRef&, const rule_value&) {}
void NetSink::Alarm(const DeviceRef&, const rule_value&, bool) {}
void NetSink::Line(const LineStats&) {}
void NetSink::LineChanged(const LineStats&) {}
void NetSink::Tick() {}
void NetSink::Finish() {}

#endif

}  // namespace vxpoll

#include "net_outputs.h"

#include <sys/stat.h>

#include <ctime>
#include <ostream>

#include "history_db.h"
#include "http_server.h"
#include "json_line.h"
#include "mqtt_sink.h"
#include "poller.h"
#include "state_store.h"

namespace vxpoll {

#ifdef VX42B_POLL_WITH_NET

namespace {

// "YYYY-MM-DDTHH:MM:SS.mmm" local time -> Unix seconds; NaN-free: 0 when unreadable.
double LocalTextSeconds(const std::string& text)
{
    std::tm tm{};
    int ms = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &tm.tm_sec, &ms) < 6)
        return 0;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    return t == static_cast<std::time_t>(-1) ? 0 : static_cast<double>(t) + ms / 1000.0;
}

// A password file anyone on the machine can read is worth a word.
void WarnIfShared(const std::string& path, const char* option, EventSink& log)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0 && (st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        log.Log(std::string(option) + ": " + path + " is readable by other users; chmod 600 it", LogSource::Poller);
}

}  // namespace

NetOutputs::NetOutputs(const Options& options) : options_(options) {}

NetOutputs::~NetOutputs() { Stop(); }

bool NetOutputs::Enabled() const { return !options_.mqttUrl.empty() || !options_.httpAddress.empty(); }

bool NetOutputs::Start(uint32_t mainDataId, EventSink& log, std::ostream& err)
{
    if (!Enabled()) return true;
    if (running_) return true;
    running_ = true;
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
            WarnIfShared(options_.mqttAuthFile, "--mqtt-auth", log);
        }
        if (!options_.mqttCaFile.empty() && !mqtt.tls) {
            err << "vx42b-poll: --mqtt-ca needs an mqtts:// URL\n";
            return false;
        }
        mqtt.caFile = options_.mqttCaFile;
        mqtt.discovery = !options_.mqttDiscovery.empty();
        if (mqtt.discovery) mqtt.discoveryPrefix = options_.mqttDiscovery;
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
        if (!http.keyFile.empty()) WarnIfShared(http.keyFile, "--http-key", log);
    }

    if (!options_.historyPath.empty()) SeedPlots(log);
    if (!options_.mqttUrl.empty()) {
        mqtt_ = std::make_unique<MqttSink>(*store_, mqtt, mainDataId,
                                           [&log](const std::string& text) { log.Log(text, LogSource::Poller); });
        if (!mqtt_->Start(error)) {
            err << "vx42b-poll: " << error << '\n';
            return false;
        }
        log.Log("mqtt: publishing to " + mqtt_->Url() + " under " + mqtt_->Prefix() + "/", LogSource::Poller);
    }
    if (!options_.httpAddress.empty()) {
        http_ = std::make_unique<HttpServer>(*store_, http);
        if (!http_->Start(error, [&log](const std::string& text) { log.Log(text, LogSource::Poller); })) {
            err << "vx42b-poll: --http: " << error << '\n';
            return false;
        }
        log.Log("http: serving " + http_->Url(), LogSource::Poller);
    }
    return true;
}

void NetOutputs::SeedPlots(EventSink& log)
{
    HistoryDb db;
    std::string error;
    if (!db.OpenForReading(options_.historyPath, error)) return;
    const auto from = std::chrono::system_clock::now() - std::chrono::hours(6);
    size_t rows = 0;
    const bool ok = db.ForEach(
        [this, &rows](const HistoryRow& row) {
            ++rows;
            store_->SeedPlot(LocalTextSeconds(row.time), row.dataId, row.deviceType, row.recordType,
                             reinterpret_cast<const unsigned char*>(row.image.data()), row.image.size());
        },
        error, LocalTimeText(from));
    if (!ok) {
        log.Log("http: cannot read the plots' history from " + options_.historyPath + ": " + error, LogSource::Poller);
        return;
    }
    if (rows > 0) store_->PublishNow();
}

std::vector<EventSink*> NetOutputs::Sinks()
{
    std::vector<EventSink*> out;
    if (store_) out.push_back(store_.get());
    if (mqtt_) out.push_back(mqtt_.get());
    return out;
}

void NetOutputs::Stop()
{
    if (http_) http_->Stop();
    if (mqtt_) mqtt_->Finish();
}

#else

NetOutputs::NetOutputs(const Options& options) : options_(options) {}
NetOutputs::~NetOutputs() = default;
bool NetOutputs::Enabled() const { return !options_.mqttUrl.empty() || !options_.httpAddress.empty(); }
bool NetOutputs::Start(uint32_t, EventSink&, std::ostream& err)
{
    if (!Enabled()) return true;
    err << "vx42b-poll: this build has no --mqtt and --http (it was built without libmosquitto and cpp-httplib)\n";
    return false;
}
std::vector<EventSink*> NetOutputs::Sinks() { return {}; }
void NetOutputs::Stop() {}

#endif

}  // namespace vxpoll

#pragma once
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "SMDController.h"
#include "count_advice.h"
#include "history_writer.h"
#include "image_cache.h"
#include "event_sink.h"
#include "line_watch.h"
#include "trouble_log.h"

namespace vxpoll {

// The stand-in host's side of the devices: every hook goes to the event
// sink, published images to the cache, saved records to the history.
class PollController : public SMDController {
public:
    // cache and history may be null.
    PollController(EventSink& sink, const ImageCache* cache, HistoryWriter* history)
        : sink_(sink), cache_(cache), history_(history)
    {}
    void SetStores(const ImageCache* cache, HistoryWriter* history)
    {
        cache_ = cache;
        history_ = history;
    }

    void OnLog(const std::string& text) override;
    void OnPublish(SMDVDevice& device, int recordType, const unsigned char* data, unsigned int size,
                   bool urgent) override;
    void OnHistory(SMDVDevice& device, const unsigned char* data, unsigned int size) override;
    bool OnAlarmBatch(SMDVDevice& device, const std::vector<rule_value>& rules) override;
    void OnAlarm(SMDVDevice& device, const rule_value& rule, bool raised) override;
    void OnRoundEnd(SMDVDevice& device, bool complete) override;
    void OnReplyTimeout(SMDVDevice& device) override;
    void OnFrameError(SMDVDevice& device, const std::string& kind) override;
    void OnReplyAccepted(SMDVDevice& device) override;

    // Starts deciding whether the line is up (before polling starts).
    void WatchLine(std::chrono::milliseconds downAfter);
    // A round completed: the line is up.
    void LineRoundComplete();
    // Decides now; the outputs hear of a change (LineChanged, then Line).
    void CheckLine(bool portOpen);
    void SetClock(std::function<LineTime()> clock) { clock_ = std::move(clock); }

    // Round ends since the last call (true: complete), in order.
    std::vector<bool> TakeRoundEnds();
    // Device log lines since the last call (kept to explain a refused configuration).
    std::vector<std::string> TakeLogs();
    void KeepLogs(bool keep) { keepLogs_ = keep; }
    // On the first wrong AC count, hold the advice until the poller asked the
    // DC count itself (DcCountAsked), so that one message tells both.
    void AskDcCountOnAcMismatch(long configuredDc) { configuredDc_ = configuredDc; }
    bool WantsDcCount() const { return !heldAdvice_.empty(); }
    // `read` < 0: the system did not tell.
    void DcCountAsked(long read);
    // Time-outs and refused frames are counted here, one each as they happen.
    LineStats& Line() { return line_; }
    // Logs what the history writer has to tell.
    void LogHistoryNotes();
    // Logs the save failures that have not cleared, with their counts.
    void Finish();

private:
    void PollerLog(const std::string& text);

    EventSink& sink_;
    const ImageCache* cache_;
    HistoryWriter* history_;
    std::vector<bool> roundEnds_;
    std::vector<std::string> logs_;
    bool keepLogs_ = false;
    LineStats line_;
    std::unique_ptr<LineWatch> watch_;
    std::function<LineTime()> clock_ = LineTime::Now;
    CountAdvisor advisor_;
    long configuredDc_ = -1;  // < 0: never ask
    bool dcAsked_ = false;
    std::string heldAdvice_;  // the count line whose advice waits for the DC count
    // The record type each device last published under, for its history rows.
    std::map<const SMDVDevice*, int> recordTypes_;
    TroubleLog cacheTrouble_{"cache", "image"};
};

}  // namespace vxpoll

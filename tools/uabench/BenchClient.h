#pragma once
// The UA benchmark's client: two sessions on one event loop (one reads and
// subscribes, the other writes, as a second client would) and the
// measurements made through them, the same for every server.
#include "UaHeaders.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

double Median(std::vector<double> values);
double Quantile(std::vector<double> values, double q);

class UaPair {
public:
    UaPair() = default;
    ~UaPair() { Close(); }
    UaPair(const UaPair&) = delete;
    UaPair& operator=(const UaPair&) = delete;

    // Connects the reading session as soon as the endpoint answers a Read of
    // `lastTag` (an item ID in the namespace `namespaceUri`; empty: any
    // answer), trying until `deadlineMs` while `alive` says the server runs.
    // Throws when it never did.
    void ConnectWhenReady(const std::string& url, const std::string& namespaceUri, const std::string& lastTag,
                          double deadlineMs, const std::function<bool()>& alive);
    // The writing session, on the reading one's event loop.
    void ConnectWriter();
    // One more session on that loop, closed with the others.
    UA_Client* ConnectAnother();
    void Close();

    UA_Client* Reader() const { return m_reader; }
    UA_Client* Writer() const { return m_writer; }
    UA_UInt16 Namespace() const { return m_namespace; }
    UA_NodeId Id(const std::string& itemId) const;  // borrows itemId
    // Runs the event loop (both sessions) for about `ms`.
    void Run(double ms);
    // Runs the event loop until `done` or `ms` have passed; returns done().
    bool RunUntil(const std::function<bool()>& done, double ms);

private:
    std::string m_url;
    UA_Client* m_reader = nullptr;
    UA_Client* m_writer = nullptr;
    std::vector<UA_Client*> m_others;
    UA_UInt16 m_namespace = 0;
};

struct ReadFigures {
    double median = 0;
    double first = 0;
    std::vector<double> all;
};
// Five Reads of every measured variable in one request each.
ReadFigures MeasureRead(UaPair& ua, const std::vector<std::string>& ids);

// Where the data changes of the monitored items go: index into the measured list.
struct ChangeSink {
    std::function<void(size_t index, const UA_DataValue& value, double arrivalMs)> onChange;
};

struct ItemContext {
    ChangeSink* sink = nullptr;
    size_t index = 0;
};

struct MonitoredItems {
    UA_UInt32 subscriptionId = 0;
    double createdMs = 0;                     // the last CreateMonitoredItems answered
    double allFirstMs = 0;                    // the last first value arrived
    std::unique_ptr<ItemContext[]> contexts;  // held by the client's monitored items
};
struct MonitorTiming {
    double publishingMs = 100;
    double samplingMs = 100;
    UA_UInt32 queueSize = 1;
};
// One subscription with every measured variable as a monitored item, created
// in batches, one call after the other.
void CreateMonitoredItems(UaPair& ua, const std::vector<std::string>& ids, ChangeSink& sink, MonitoredItems& out,
                          const MonitorTiming& timing = {});
void DeleteSubscription(UaPair& ua, UA_UInt32 subscriptionId);

// How the server's side is watched while the changes run.
struct CpuMeter {
    long serverPid = 0;
    long wineserverPid = 0;
    double ticksPerSecond = 100;
};

struct SustainedFigures {
    double seconds = 0;
    int periods = 0;
    long long made = 0, delivered = 0, strays = 0;
    int late = 0, lateWrites = 0;
    double latencyMedian = 0, latencyP95 = 0;
    double serverCpu = -1, wineserverCpu = -1, clientCpu = -1;  // % of one core
};
constexpr double kLateMs = 300;  // a period's last change later than this after its write is late
// A tenth of the monitored items change every 100 ms (each item every tenth
// period), written from the second session, for `seconds`.
SustainedFigures RunSustained(UaPair& ua, const std::vector<std::string>& ids, ChangeSink& sink, double seconds,
                              const CpuMeter& meter);

struct LatencyFigures {
    double median = 0, p95 = 0;
    int missed = 0, count = 0;
};
// A write from the second session to the data change at the first, one item
// monitored with `samplingInterval`; `writes` times at random moments.
LatencyFigures MeasureWriteLatency(UaPair& ua, const std::string& id, double samplingInterval, int writes,
                                   double firstValue);

struct DaLatencyFigures {
    double median = 0, p95 = 0;  // from the write's source timestamp to the UA client
    double startMedian = 0;      // from starting the DA client to the UA client
    int missed = 0, failed = 0, count = 0;
    std::string firstError;
};
// A DA client's write (the command-line client `toviOpc` writing `itemId` on
// the program's DA server) to the data change at the UA client.
DaLatencyFigures MeasureDaWriteLatency(UaPair& ua, const std::string& id, int writes, double firstValue,
                                       const std::wstring& toviOpc, const std::wstring& itemId);

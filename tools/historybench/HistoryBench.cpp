// The history benchmark's UA part: one client, one run, two servers. The
// floor (history_floor_server.exe: the bare stack with its own in-memory
// history) and the program ("Tovi Explorer.exe" /Serve on a configuration
// with one historized Double tag H.T0) are filled with the same samples
// through HistoryUpdate, then read back raw in pages; each figure is printed
// for both with the ratio ours/floor. scripts/history-bench.sh runs it.
#include "UaHeaders.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchClient.h"
#include "BenchProcess.h"

namespace {
const char* const kFloorNamespace = "urn:Zelkor:ToviExplorer:HistoryBenchFloor";
const char* const kOurNamespace = "urn:Zelkor:ToviExplorer:Tags";
const std::string kTag = "H.T0";
constexpr double kReadyLimitMs = 120000;
constexpr int kRounds = 5;

struct Options {
    std::wstring floorExe, toviExe, config;
    int floorPort = 48481, port = 48482;
    long samples = 100000, page = 10000;
};
Options theOptions;

std::runtime_error Failure(const std::string& what, UA_StatusCode status) {
    return std::runtime_error(what + ": " + UA_StatusCode_name(status));
}

// Samples from 23 hours before now, spread over 22 of them, so that they lie
// inside the program's span and before anything it recorded itself.
UA_DateTime SampleStep() {
    return std::max<UA_DateTime>(1, 22LL * 3600 * UA_DATETIME_SEC / std::max(1L, theOptions.samples));
}

UA_DateTime FirstSampleTime() {
    static const UA_DateTime first = UA_DateTime_now() - 24LL * 3600 * UA_DATETIME_SEC + 3600 * UA_DATETIME_SEC;
    return first;
}

void Fill(UA_Client* client, const UA_NodeId& node, long samples, long page) {
    std::vector<UA_DataValue> values(static_cast<size_t>(page));
    std::vector<UA_Double> numbers(static_cast<size_t>(page));
    for (long done = 0; done < samples; done += page) {
        const long n = std::min(page, samples - done);
        for (long i = 0; i < n; ++i) {
            UA_DataValue_init(&values[i]);
            numbers[i] = std::sin(static_cast<double>(done + i) / 100.0) * 50 + 50;
            UA_Variant_setScalar(&values[i].value, &numbers[i], &UA_TYPES[UA_TYPES_DOUBLE]);
            values[i].hasValue = true;
            values[i].sourceTimestamp = FirstSampleTime() + (done + i) * SampleStep();
            values[i].hasSourceTimestamp = true;
            values[i].hasStatus = true;
            values[i].status = UA_STATUSCODE_GOOD;
        }
        UA_UpdateDataDetails details;
        UA_UpdateDataDetails_init(&details);
        details.nodeId = node;
        details.performInsertReplace = UA_PERFORMUPDATETYPE_INSERT;
        details.updateValues = values.data();
        details.updateValuesSize = static_cast<size_t>(n);
        UA_HistoryUpdateRequest request;
        UA_HistoryUpdateRequest_init(&request);
        UA_ExtensionObject item;
        UA_ExtensionObject_setValue(&item, &details, &UA_TYPES[UA_TYPES_UPDATEDATADETAILS]);
        request.historyUpdateDetails = &item;
        request.historyUpdateDetailsSize = 1;
        UA_HistoryUpdateResponse response = UA_Client_Service_historyUpdate(client, request);
        UA_StatusCode status = response.responseHeader.serviceResult;
        if (status == UA_STATUSCODE_GOOD && response.resultsSize == 1) status = response.results[0].statusCode;
        long refused = 0;
        if (response.resultsSize == 1) {
            for (size_t i = 0; i < response.results[0].operationResultsSize; ++i) {
                if (UA_StatusCode_isBad(response.results[0].operationResults[i])) ++refused;
            }
        }
        UA_HistoryUpdateResponse_clear(&response);
        if (UA_StatusCode_isBad(status)) throw Failure("HistoryUpdate", status);
        if (refused > 0) throw std::runtime_error("HistoryUpdate refused " + std::to_string(refused) + " samples");
    }
}

// A raw read of every sample from the first, in pages, following the
// continuation points; milliseconds, and the samples read.
double ReadAll(UA_Client* client, const UA_NodeId& node, long page, long& count) {
    UA_ReadRawModifiedDetails details;
    UA_ReadRawModifiedDetails_init(&details);
    details.startTime = FirstSampleTime();
    // Exclusive: the sample the program records itself when the tag begins lies later.
    details.endTime = FirstSampleTime() + theOptions.samples * SampleStep();
    details.numValuesPerNode = static_cast<UA_UInt32>(page);
    UA_ExtensionObject read;
    UA_ExtensionObject_setValue(&read, &details, &UA_TYPES[UA_TYPES_READRAWMODIFIEDDETAILS]);
    UA_HistoryReadValueId id;
    UA_HistoryReadValueId_init(&id);
    id.nodeId = node;
    UA_ByteString continuation = UA_BYTESTRING_NULL;
    count = 0;
    const double t0 = NowMs();
    for (;;) {
        id.continuationPoint = continuation;
        UA_HistoryReadRequest request;
        UA_HistoryReadRequest_init(&request);
        request.historyReadDetails = read;
        request.timestampsToReturn = UA_TIMESTAMPSTORETURN_SOURCE;
        request.nodesToRead = &id;
        request.nodesToReadSize = 1;
        UA_HistoryReadResponse response = UA_Client_Service_historyRead(client, request);
        UA_ByteString_clear(&continuation);
        UA_StatusCode status = response.responseHeader.serviceResult;
        if (status == UA_STATUSCODE_GOOD && response.resultsSize == 1) status = response.results[0].statusCode;
        if (UA_StatusCode_isBad(status)) {
            UA_HistoryReadResponse_clear(&response);
            throw Failure("HistoryRead", status);
        }
        const UA_ExtensionObject& data = response.results[0].historyData;
        if (data.encoding == UA_EXTENSIONOBJECT_DECODED &&
            data.content.decoded.type == &UA_TYPES[UA_TYPES_HISTORYDATA]) {
            count += static_cast<long>(static_cast<UA_HistoryData*>(data.content.decoded.data)->dataValuesSize);
        }
        UA_ByteString_copy(&response.results[0].continuationPoint, &continuation);
        UA_HistoryReadResponse_clear(&response);
        if (continuation.length == 0) break;
    }
    return NowMs() - t0;
}

struct Figures {
    double fillMs = NAN;
    double readMedian = NAN, readFirst = NAN;
    long read = 0;
};

Figures Measure(bool floor) {
    const int port = floor ? theOptions.floorPort : theOptions.port;
    const std::wstring line = floor ? L"\"" + theOptions.floorExe + L"\" --port " + std::to_wstring(port) +
                                          L" --samples " + std::to_wstring(theOptions.samples)
                                    : L"\"" + theOptions.toviExe + L"\" \"" + theOptions.config +
                                          L"\" /Serve /UaPort " + std::to_wstring(port);
    ChildProcess process;
    if (!process.Start(line, !floor)) throw std::runtime_error("cannot start the server");
    Figures figures;
    {
        UaPair ua;
        ua.ConnectWhenReady("opc.tcp://localhost:" + std::to_string(port) + "/",
                            floor ? kFloorNamespace : kOurNamespace, kTag, process.StartedAt() + kReadyLimitMs,
                            [&process] { return process.Running(); });
        const UA_NodeId node = ua.Id(kTag);
        double t0 = NowMs();
        Fill(ua.Reader(), node, theOptions.samples, theOptions.page);
        figures.fillMs = NowMs() - t0;
        std::vector<double> rounds;
        for (int r = 0; r < kRounds; ++r) rounds.push_back(ReadAll(ua.Reader(), node, theOptions.page, figures.read));
        figures.readFirst = rounds.front();
        figures.readMedian = Median(rounds);
    }
    if (floor) {
        process.Terminate();
    } else {
        ChildProcess close;
        if (close.Start(L"\"" + theOptions.toviExe + L"\" /Close 30", false)) close.Wait(90000);
        if (!process.Wait(60000)) process.Terminate();
    }
    return figures;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: history_bench --floor-exe EXE --tovi-exe EXE --config FILE [--samples N] [--page N]"
                 " [--floor-port P] [--port P]\n");
    return 2;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring name = argv[i], value = argv[i + 1];
        if (name == L"--floor-exe") {
            theOptions.floorExe = value;
        } else if (name == L"--tovi-exe") {
            theOptions.toviExe = value;
        } else if (name == L"--config") {
            theOptions.config = value;
        } else if (name == L"--samples") {
            theOptions.samples = std::wcstol(value.c_str(), nullptr, 10);
        } else if (name == L"--page") {
            theOptions.page = std::wcstol(value.c_str(), nullptr, 10);
        } else if (name == L"--floor-port") {
            theOptions.floorPort = static_cast<int>(std::wcstol(value.c_str(), nullptr, 10));
        } else if (name == L"--port") {
            theOptions.port = static_cast<int>(std::wcstol(value.c_str(), nullptr, 10));
        } else {
            return Usage();
        }
    }
    if (argc % 2 != 1 || theOptions.floorExe.empty() || theOptions.toviExe.empty() || theOptions.config.empty() ||
        theOptions.samples <= 0 || theOptions.page <= 0) {
        return Usage();
    }
    try {
        const Figures floor = Measure(true);
        const Figures ours = Measure(false);
        std::printf("History over OPC UA, %ld samples of one Double tag, raw reads in pages of %ld (%d rounds)\n",
                    theOptions.samples, theOptions.page, kRounds);
        std::printf("%-44s %12s %12s %8s\n", "", "floor", "ours", "ratio");
        std::printf("%-44s %12.1f %12.1f %8.2f\n", "filled by HistoryUpdate (ms)", floor.fillMs, ours.fillMs,
                    ours.fillMs / floor.fillMs);
        std::printf("%-44s %12.1f %12.1f %8.2f\n", "ReadRaw of every sample, first round (ms)", floor.readFirst,
                    ours.readFirst, ours.readFirst / floor.readFirst);
        std::printf("%-44s %12.1f %12.1f %8.2f\n", "ReadRaw of every sample, median (ms)", floor.readMedian,
                    ours.readMedian, ours.readMedian / floor.readMedian);
        std::printf("%-44s %12ld %12ld\n", "samples read back", floor.read, ours.read);
        const bool met = ours.read == theOptions.samples && floor.read == theOptions.samples &&
                         ours.readMedian <= 1.25 * floor.readMedian;
        std::printf("goal %-60s %s\n", "ReadRaw within 1.25x the floor, every sample read", met ? "met" : "MISSED");
        return met ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "history_bench: %s\n", e.what());
        return 1;
    }
}

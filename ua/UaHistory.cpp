// Winsock before any header that brings windows.h.
#include "UaLibrary.h"

#include "UaHistory.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "HistoryAggregates.h"
#include "HistorySeriesSource.h"
#include "UaAccessControl.h"
#include "UaHistoryMapping.h"
#include "UaMapping.h"

using Clock = std::chrono::steady_clock;

struct UaHistory::Request {
    Clock::time_point deadline;
    size_t valuesLeft = 0;  // of the whole request
    // Text makes values of any size: what the response may take in all, so
    // that it stays well inside the largest message.
    size_t textLeft = 0;
    UA_TimestampsToReturn timestamps = UA_TIMESTAMPSTORETURN_SOURCE;
    bool Late() const { return Clock::now() >= deadline; }
};

namespace {
// The values of a page, made in the array the response takes over as it is.
class PageValues {
public:
    PageValues() = default;
    PageValues(const PageValues&) = delete;
    PageValues& operator=(const PageValues&) = delete;
    ~PageValues() {
        for (size_t i = 0; i < m_size; ++i) UA_DataValue_clear(&m_data[i]);
        UA_free(m_data);
    }
    size_t size() const noexcept { return m_size; }
    bool empty() const noexcept { return m_size == 0; }
    bool Failed() const noexcept { return m_failed; }
    // Room for `count` values in all.
    void Reserve(size_t count) {
        if (count <= m_capacity) return;
        auto* grown = static_cast<UA_DataValue*>(UA_realloc(m_data, count * sizeof(UA_DataValue)));
        if (grown == nullptr) return;
        m_data = grown;
        m_capacity = count;
    }
    // Takes `value` over; out of memory it is let go and the page fails.
    void push_back(UA_DataValue value) {
        if (m_size == m_capacity) Reserve(std::max<size_t>(64, 2 * m_capacity));
        if (m_size == m_capacity) {
            UA_DataValue_clear(&value);
            m_failed = true;
            return;
        }
        m_data[m_size++] = value;
    }
    // The values and their count, now the caller's to free.
    UA_DataValue* Release(size_t& count) noexcept {
        UA_DataValue* data = m_data;
        count = m_size;
        m_data = nullptr;
        m_size = m_capacity = 0;
        return data;
    }

private:
    UA_DataValue* m_data = nullptr;
    size_t m_size = 0;
    size_t m_capacity = 0;
    bool m_failed = false;
};
}  // namespace

struct UaHistory::Page {
    UA_StatusCode status = UA_STATUSCODE_GOOD;
    PageValues values;  // owned until handed to the response
    bool more = false;  // the cursor says where the next page starts
    size_t limit = 0;   // the most this page may hold
};

namespace {
// Samples are read from a series this many at a time, the time budget
// looked at in between.
constexpr size_t kChunk = 1000;
constexpr HistoryTime kEarliest = std::numeric_limits<HistoryTime>::min();
constexpr UA_StatusCode kInterpolatedBits = 0x400 | 0x02;

std::string SessionKeyOf(const UA_NodeId* sessionId) {
    if (sessionId == nullptr) return std::string();
    UA_String text = UA_STRING_NULL;
    UA_NodeId_print(sessionId, &text);
    std::string key(reinterpret_cast<const char*>(text.data), text.length);
    UA_String_clear(&text);
    return key;
}

bool MayEditHistory(void* sessionContext) {
    const std::optional<UaSessionIdentity> who = UaAccessControl::IdentityOf(sessionContext);
    return who.has_value() && who->role == UaRole::ReadWrite;
}

// A data value of a sample time, with the timestamps the client asked for.
UA_DataValue Stamped(HistoryTime time, UA_StatusCode status, UA_TimestampsToReturn timestamps) {
    UA_DataValue value;
    UA_DataValue_init(&value);
    value.status = status;
    value.hasStatus = status != UA_STATUSCODE_GOOD;
    if (timestamps == UA_TIMESTAMPSTORETURN_SOURCE || timestamps == UA_TIMESTAMPSTORETURN_BOTH) {
        value.sourceTimestamp = UaTimeOf(time);
        value.hasSourceTimestamp = true;
    }
    if (timestamps == UA_TIMESTAMPSTORETURN_SERVER || timestamps == UA_TIMESTAMPSTORETURN_BOTH) {
        value.serverTimestamp = UaTimeOf(time);
        value.hasServerTimestamp = true;
    }
    return value;
}

UA_DataValue ValueOfSample(const HistorySample& sample, const UA_DataType* type, UA_TimestampsToReturn timestamps,
                           UA_StatusCode extraBits = 0) {
    UA_DataValue value = Stamped(sample.time, StatusOfQuality(sample.quality) | extraBits, timestamps);
    value.hasValue = SampleToVariant(sample, type, value.value);
    return value;
}

// The type an aggregate's values take: the source's where they are its
// values, else the aggregate's own.
const UA_DataType* AggregateType(HistoryAggregate aggregate, const UA_DataType* source) {
    switch (aggregate) {
    case HistoryAggregate::Interpolative:
    case HistoryAggregate::Minimum:
    case HistoryAggregate::Maximum:
    case HistoryAggregate::MinimumActualTime:
    case HistoryAggregate::MaximumActualTime:
    case HistoryAggregate::Start:
    case HistoryAggregate::End: return source;
    case HistoryAggregate::Count: return &UA_TYPES[UA_TYPES_INT32];
    case HistoryAggregate::WorstQuality: return &UA_TYPES[UA_TYPES_STATUSCODE];
    default: return &UA_TYPES[UA_TYPES_DOUBLE];
    }
}

AggregateConfiguration ConfigurationOf(const UA_AggregateConfiguration& asked) {
    AggregateConfiguration configuration;
    if (asked.useServerCapabilitiesDefaults) return configuration;
    configuration.treatUncertainAsBad = asked.treatUncertainAsBad;
    configuration.percentDataBad = std::min<UA_Byte>(asked.percentDataBad, 100);
    configuration.percentDataGood = std::min<UA_Byte>(asked.percentDataGood, 100);
    configuration.useSlopedExtrapolation = asked.useSlopedExtrapolation;
    return configuration;
}
}  // namespace

UaHistory::UaHistory(UaHistoryLookup lookup, UaHistoryLimits limits) : m_lookup(std::move(lookup)), m_limits(limits) {}

UaHistory::~UaHistory() = default;

void UaHistory::Install(UA_ServerConfig& config) {
    UA_HistoryDatabase& database = config.historyDatabase;
    std::memset(&database, 0, sizeof database);
    database.context = this;
    database.readRaw = &UaHistory::ReadRawHook;
    database.readModified = &UaHistory::ReadModifiedHook;
    database.readProcessed = &UaHistory::ReadProcessedHook;
    database.readAtTime = &UaHistory::ReadAtTimeHook;
    database.updateData = &UaHistory::UpdateDataHook;
    database.deleteRawModified = &UaHistory::DeleteRawHook;
    config.accessHistoryDataCapability = true;
    config.accessHistoryEventsCapability = false;
    config.maxReturnDataValues = static_cast<UA_UInt32>(m_limits.valuesPerNode);
    config.maxReturnEventValues = 0;
    config.insertDataCapability = true;
    config.replaceDataCapability = true;
    config.updateDataCapability = true;
    config.deleteRawCapability = true;
    config.deleteAtTimeDataCapability = false;
    config.insertEventCapability = false;
    config.replaceEventCapability = false;
    config.updateEventCapability = false;
    config.deleteEventCapability = false;
    config.insertAnnotationsCapability = false;
}

void UaHistory::ForgetSession(const UA_NodeId& sessionId) { m_cursors.ForgetSession(SessionKeyOf(&sessionId)); }

bool UaHistory::ItemIdOf(const UA_NodeId& nodeId, std::string& itemId) const {
    if (m_namespace == 0 || nodeId.namespaceIndex != m_namespace || nodeId.identifierType != UA_NODEIDTYPE_STRING)
        return false;
    itemId.assign(reinterpret_cast<const char*>(nodeId.identifier.string.data), nodeId.identifier.string.length);
    return true;
}

void UaHistory::Read(const UA_NodeId* sessionId, UaHistoryCursor::Read kind, UA_TimestampsToReturn timestamps,
                     bool release, size_t count, const UA_HistoryReadValueId* nodes, UA_HistoryReadResponse* response,
                     UA_HistoryData* const* data, const std::function<CursorMaker(size_t index)>& start,
                     const PageReader& reader) {
    auto refuse = [&](UA_StatusCode status) {
        UA_Array_delete(response->results, response->resultsSize, &UA_TYPES[UA_TYPES_HISTORYREADRESULT]);
        response->results = nullptr;
        response->resultsSize = 0;
        response->responseHeader.serviceResult = status;
    };
    if (count > m_limits.nodesPerRead) return refuse(UA_STATUSCODE_BADTOOMANYOPERATIONS);
    if (timestamps > UA_TIMESTAMPSTORETURN_BOTH || timestamps == UA_TIMESTAMPSTORETURN_NEITHER)
        return refuse(UA_STATUSCODE_BADTIMESTAMPSTORETURNINVALID);
    const std::string session = SessionKeyOf(sessionId);
    Request request;
    request.deadline = Clock::now() + m_limits.budget;
    request.valuesLeft = m_limits.valuesPerRequest;
    request.textLeft = m_limits.textPerRequest;
    request.timestamps = timestamps;
    for (size_t i = 0; i < count; ++i) {
        UA_HistoryReadResult& result = response->results[i];
        const UA_HistoryReadValueId& what = nodes[i];
        const bool resuming = what.continuationPoint.length > 0;
        std::string itemId;
        if (!ItemIdOf(what.nodeId, itemId)) {
            result.statusCode = UA_STATUSCODE_BADNODEIDUNKNOWN;
            continue;
        }
        if (release) {
            // Only lets go: a point not held is an error, none at all is fine.
            if (resuming && !m_cursors.Release(session, what.continuationPoint, itemId))
                result.statusCode = UA_STATUSCODE_BADCONTINUATIONPOINTINVALID;
            continue;
        }
        std::unique_ptr<UaHistoryCursor> taken;
        if (resuming) {
            // Another session's, node's or read's point stays where it is.
            taken = m_cursors.Take(session, what.continuationPoint, itemId, kind);
            if (taken == nullptr) {
                result.statusCode = UA_STATUSCODE_BADCONTINUATIONPOINTINVALID;
                continue;
            }
        }
        if (what.indexRange.length > 0) {
            result.statusCode = UA_STATUSCODE_BADINDEXRANGENODATA;
            continue;
        }
        const UaHistoryNode node = m_lookup(itemId);
        if (!node.found) {
            result.statusCode = UA_STATUSCODE_BADNODEIDUNKNOWN;
            continue;
        }
        if (node.series == nullptr || node.type == nullptr) {
            result.statusCode = taken != nullptr ? UA_STATUSCODE_BADCONTINUATIONPOINTINVALID
                                                 : UA_STATUSCODE_BADHISTORYOPERATIONUNSUPPORTED;
            continue;
        }
        UaHistoryCursor cursor;
        if (taken != nullptr) {
            // The tag's history went with a file, a clear or a retype since the last page.
            if (taken->series.lock() != node.series || taken->kind != node.series->Kind()) {
                result.statusCode = UA_STATUSCODE_BADCONTINUATIONPOINTINVALID;
                continue;
            }
            cursor = std::move(*taken);
        } else {
            cursor.read = kind;
            cursor.node = itemId;
            cursor.series = node.series;
            cursor.kind = node.series->Kind();
            const UA_StatusCode valid = start(i)(node, cursor);
            if (valid != UA_STATUSCODE_GOOD) {
                result.statusCode = valid;
                continue;
            }
        }
        Page page;
        page.limit = std::min(m_limits.valuesPerNode, request.valuesLeft);
        if (page.limit > 0 && !request.Late()) {
            reader(i, node, cursor, request, page);
        } else {
            page.more = true;  // out of budget: the client asks again from here
        }
        if (page.values.Failed()) page.status = UA_STATUSCODE_BADOUTOFMEMORY;
        result.statusCode = page.status;
        if (page.status != UA_STATUSCODE_GOOD && !UA_StatusCode_isUncertain(page.status)) continue;
        request.valuesLeft -= std::min(request.valuesLeft, page.values.size());
        if (page.more && !m_cursors.Make(session, std::move(cursor), result.continuationPoint)) {
            result.statusCode = UA_STATUSCODE_BADNOCONTINUATIONPOINTS;
            continue;
        }
        if (!page.values.empty()) data[i]->dataValues = page.values.Release(data[i]->dataValuesSize);
    }
}

void UaHistory::ReadRawHook(UA_Server*, void* context, const UA_NodeId* sessionId, void*, const UA_RequestHeader*,
                            const UA_ReadRawModifiedDetails* details, UA_TimestampsToReturn timestamps,
                            UA_Boolean release, size_t count, const UA_HistoryReadValueId* nodes,
                            UA_HistoryReadResponse* response, UA_HistoryData* const* const data) {
    auto* self = static_cast<UaHistory*>(context);
    const UA_ReadRawModifiedDetails& raw = *details;
    auto start = [&raw](size_t) -> CursorMaker {
        return [&raw](const UaHistoryNode&, UaHistoryCursor& cursor) -> UA_StatusCode {
            const bool hasStart = raw.startTime != 0, hasEnd = raw.endTime != 0;
            if (!hasStart && !hasEnd) return UA_STATUSCODE_BADHISTORYOPERATIONINVALID;
            if ((!hasStart || !hasEnd) && raw.numValuesPerNode == 0) return UA_STATUSCODE_BADHISTORYOPERATIONINVALID;
            // Backwards when the end comes first, or only the end is given.
            cursor.time = hasStart ? HistoryTimeOf(raw.startTime) : HistoryTimeOf(raw.endTime);
            cursor.count = 0;
            return UA_STATUSCODE_GOOD;
        };
    };
    self->Read(sessionId, UaHistoryCursor::Read::Raw, timestamps, release, count, nodes, response, data, start,
               [self, &raw](size_t, const UaHistoryNode& node, UaHistoryCursor& cursor, Request& request, Page& page) {
                   self->ReadRawPage(raw, node, cursor, request, page);
               });
}

void UaHistory::ReadRawPage(const UA_ReadRawModifiedDetails& details, const UaHistoryNode& node,
                            UaHistoryCursor& cursor, Request& request, Page& page) {
    const HistorySeries& series = *node.series;
    const bool hasStart = details.startTime != 0, hasEnd = details.endTime != 0;
    const HistoryTime startTime = HistoryTimeOf(details.startTime), endTime = HistoryTimeOf(details.endTime);
    const bool backward = !hasStart || (hasEnd && endTime < startTime);
    const HistoryTime origin = hasStart ? startTime : endTime;
    // The far end, exclusive; a read from a time to itself takes that time's samples.
    HistoryTime terminal;
    if (!hasStart) {
        terminal = kEarliest;
    } else if (!hasEnd) {
        terminal = kHistoryTimeMax;
    } else if (startTime == endTime) {
        terminal = startTime + 1;
    } else {
        terminal = endTime;
    }
    const bool originBound = details.returnBounds;
    const bool terminalBound = details.returnBounds && hasStart && hasEnd;
    size_t limit = page.limit;
    if (details.numValuesPerNode != 0) limit = std::min<size_t>(limit, details.numValuesPerNode);
    auto bound = [&](bool found, const HistorySample& sample, HistoryTime at) {
        page.values.push_back(found ? ValueOfSample(sample, node.type, request.timestamps)
                                    : Stamped(at, UA_STATUSCODE_BADBOUNDNOTFOUND, request.timestamps));
    };
    HistorySample sample;
    if (originBound && !cursor.startBoundDone) {
        cursor.startBoundDone = true;
        // A sample at the origin is its own bound, and comes with the others.
        const bool found =
            backward ? series.After(origin, true, false, sample) : series.Before(origin, true, false, sample);
        if (!found || sample.time != origin) bound(found, sample, origin);
    }
    // Numbers are read without the text a sample carries.
    const bool numeric = node.type != &UA_TYPES[UA_TYPES_STRING];
    std::vector<HistorySample> chunk;
    std::vector<HistoryPoint> points;
    auto advance = [&cursor](HistoryTime time) {
        if (time == cursor.time) {
            ++cursor.count;
        } else {
            cursor.time = time;
            cursor.count = 1;
        }
    };
    if (!cursor.onlyEndBound) {
        while (page.values.size() < limit) {
            if (request.Late()) {
                page.more = true;
                return;
            }
            const size_t want = std::min(kChunk, limit - page.values.size());
            // A page of more than a chunk is likely full: its room is made once.
            page.values.Reserve(page.values.size() < kChunk ? std::min(limit, kChunk) : limit);
            if (numeric) {
                points.clear();
                const size_t got = backward
                                       ? series.ReadPointsBackward(cursor.time, terminal, cursor.count, want, points)
                                       : series.ReadPointsForward(cursor.time, terminal, cursor.count, want, points);
                for (const HistoryPoint& point : points) {
                    advance(point.time);
                    UA_DataValue value = Stamped(point.time, StatusOfQuality(point.quality), request.timestamps);
                    value.hasValue = NumberToVariant(point.value, node.type, value.value);
                    page.values.push_back(value);
                }
                if (got < want) break;  // all read
                continue;
            }
            chunk.clear();
            const size_t got = backward ? series.ReadBackward(cursor.time, terminal, cursor.count, want, chunk)
                                        : series.ReadForward(cursor.time, terminal, cursor.count, want, chunk);
            for (size_t i = 0; i < got && i < chunk.size(); ++i) {
                // The rest in the next page, from this sample on; a page holds one at least.
                if (chunk[i].text.size() > request.textLeft && !page.values.empty()) {
                    page.more = true;
                    return;
                }
                request.textLeft -= std::min(request.textLeft, chunk[i].text.size());
                advance(chunk[i].time);
                page.values.push_back(ValueOfSample(chunk[i], node.type, request.timestamps));
            }
            if (got < want) break;  // all read
        }
        if (page.values.size() >= limit) {
            // Full: is anything left?
            points.clear();
            const size_t left = backward ? series.ReadPointsBackward(cursor.time, terminal, cursor.count, 1, points)
                                         : series.ReadPointsForward(cursor.time, terminal, cursor.count, 1, points);
            if (left > 0) {
                page.more = true;
                return;
            }
        }
    }
    if (!terminalBound) return;
    if (page.values.size() >= limit) {
        cursor.onlyEndBound = true;
        page.more = true;
        return;
    }
    const bool found =
        backward ? series.Before(endTime, true, false, sample) : series.After(endTime, true, false, sample);
    bound(found, sample, endTime);
    page.more = false;
}

void UaHistory::ReadModifiedHook(UA_Server*, void* context, const UA_NodeId*, void*, const UA_RequestHeader*,
                                 const UA_ReadRawModifiedDetails*, UA_TimestampsToReturn, UA_Boolean, size_t count,
                                 const UA_HistoryReadValueId*, UA_HistoryReadResponse* response,
                                 UA_HistoryModifiedData* const* const) {
    // No history of modifications is kept.
    auto* self = static_cast<UaHistory*>(context);
    if (count > self->m_limits.nodesPerRead) {
        UA_Array_delete(response->results, response->resultsSize, &UA_TYPES[UA_TYPES_HISTORYREADRESULT]);
        response->results = nullptr;
        response->resultsSize = 0;
        response->responseHeader.serviceResult = UA_STATUSCODE_BADTOOMANYOPERATIONS;
        return;
    }
    for (size_t i = 0; i < response->resultsSize; ++i)
        response->results[i].statusCode = UA_STATUSCODE_BADHISTORYOPERATIONUNSUPPORTED;
}

void UaHistory::ReadProcessedHook(UA_Server*, void* context, const UA_NodeId* sessionId, void*, const UA_RequestHeader*,
                                  const UA_ReadProcessedDetails* details, UA_TimestampsToReturn timestamps,
                                  UA_Boolean release, size_t count, const UA_HistoryReadValueId* nodes,
                                  UA_HistoryReadResponse* response, UA_HistoryData* const* const data) {
    auto* self = static_cast<UaHistory*>(context);
    const UA_ReadProcessedDetails& processed = *details;
    if (!release && processed.aggregateTypeSize != count) {
        UA_Array_delete(response->results, response->resultsSize, &UA_TYPES[UA_TYPES_HISTORYREADRESULT]);
        response->results = nullptr;
        response->resultsSize = 0;
        response->responseHeader.serviceResult = UA_STATUSCODE_BADAGGREGATELISTMISMATCH;
        return;
    }
    auto start = [&processed](size_t index) -> CursorMaker {
        return [&processed, index](const UaHistoryNode& node, UaHistoryCursor& cursor) -> UA_StatusCode {
            if (processed.startTime == processed.endTime || processed.startTime == 0 || processed.endTime == 0 ||
                !(processed.processingInterval >= 0) ||
                processed.processingInterval > static_cast<double>(kHistoryTimeMax / kHistoryTicksPerMs)) {
                return UA_STATUSCODE_BADINVALIDARGUMENT;
            }
            const std::optional<HistoryAggregate> aggregate = AggregateOfFunction(processed.aggregateType[index]);
            if (!aggregate) return UA_STATUSCODE_BADAGGREGATENOTSUPPORTED;
            if (!AggregateTakesKind(*aggregate, node.series->Kind())) return UA_STATUSCODE_BADAGGREGATEINVALIDINPUTS;
            cursor.count = 0;
            return UA_STATUSCODE_GOOD;
        };
    };
    self->Read(
        sessionId, UaHistoryCursor::Read::Processed, timestamps, release, count, nodes, response, data, start,
        [self, &processed](size_t index, const UaHistoryNode& node, UaHistoryCursor& cursor, Request& request,
                           Page& page) { self->ReadProcessedPage(processed, index, node, cursor, request, page); });
}

void UaHistory::ReadProcessedPage(const UA_ReadProcessedDetails& details, size_t index, const UaHistoryNode& node,
                                  UaHistoryCursor& cursor, Request& request, Page& page) {
    AggregateRequest asked;
    asked.aggregate = *AggregateOfFunction(details.aggregateType[index]);
    asked.start = HistoryTimeOf(details.startTime);
    asked.end = HistoryTimeOf(details.endTime);
    asked.interval = static_cast<HistoryTime>(std::llround(details.processingInterval * kHistoryTicksPerMs));
    if (details.processingInterval > 0 && asked.interval == 0) asked.interval = 1;
    asked.configuration = ConfigurationOf(details.aggregateConfiguration);
    // A century in milliseconds is answered a page at a time too.
    const std::uint64_t intervals = AggregateIntervalCount(asked);
    const UA_DataType* type = AggregateType(asked.aggregate, node.type);
    const HistorySeriesSource source(node.series);
    std::vector<AggregateValue> computed;
    while (cursor.count < intervals && page.values.size() < page.limit) {
        if (request.Late()) {
            page.more = true;
            return;
        }
        const std::uint64_t chunk =
            std::min<std::uint64_t>({intervals - cursor.count, kChunk / 10, page.limit - page.values.size()});
        computed.clear();
        const AggregateError error =
            ComputeAggregate(asked, source, cursor.count, static_cast<size_t>(chunk), computed);
        if (error != AggregateError::None) {
            page.status = error == AggregateError::InvalidInputs ? UA_STATUSCODE_BADAGGREGATEINVALIDINPUTS
                                                                 : UA_STATUSCODE_BADINVALIDARGUMENT;
            return;
        }
        for (const AggregateValue& made : computed) {
            UA_DataValue value = Stamped(made.time, StatusOfAggregate(made.status), request.timestamps);
            if (made.hasValue) {
                if (asked.aggregate == HistoryAggregate::WorstQuality) {
                    UA_StatusCode worst = StatusOfQuality(static_cast<WORD>(made.value));
                    value.hasValue = UA_Variant_setScalarCopy(&value.value, &worst, type) == UA_STATUSCODE_GOOD;
                } else if (type == &UA_TYPES[UA_TYPES_STRING]) {
                    value.hasValue = false;  // a text series has no numbers to give
                } else {
                    value.hasValue = NumberToVariant(made.value, type, value.value);
                }
            }
            page.values.push_back(value);
        }
        cursor.count += chunk;
    }
    page.more = cursor.count < intervals;
}

void UaHistory::ReadAtTimeHook(UA_Server*, void* context, const UA_NodeId* sessionId, void*, const UA_RequestHeader*,
                               const UA_ReadAtTimeDetails* details, UA_TimestampsToReturn timestamps,
                               UA_Boolean release, size_t count, const UA_HistoryReadValueId* nodes,
                               UA_HistoryReadResponse* response, UA_HistoryData* const* const data) {
    auto* self = static_cast<UaHistory*>(context);
    const UA_ReadAtTimeDetails& atTime = *details;
    auto start = [&atTime](size_t) -> CursorMaker {
        return [&atTime](const UaHistoryNode&, UaHistoryCursor& cursor) -> UA_StatusCode {
            if (atTime.reqTimesSize == 0) return UA_STATUSCODE_BADINVALIDARGUMENT;
            cursor.count = 0;
            return UA_STATUSCODE_GOOD;
        };
    };
    self->Read(sessionId, UaHistoryCursor::Read::AtTime, timestamps, release, count, nodes, response, data, start,
               [self, &atTime](size_t, const UaHistoryNode& node, UaHistoryCursor& cursor, Request& request,
                               Page& page) { self->ReadAtTimePage(atTime, node, cursor, request, page); });
}

void UaHistory::ReadAtTimePage(const UA_ReadAtTimeDetails& details, const UaHistoryNode& node, UaHistoryCursor& cursor,
                               Request& request, Page& page) {
    const HistorySeries& series = *node.series;
    const bool stepped = IsSteppedKind(series.Kind());
    // Simple bounds are the nearest samples whatever their quality; else the nearest Good ones.
    const bool goodOnly = !details.useSimpleBounds;
    HistorySample before, after;
    while (cursor.count < details.reqTimesSize && page.values.size() < page.limit) {
        if (page.values.size() % 100 == 0 && request.Late()) break;
        const HistoryTime time = HistoryTimeOf(details.reqTimes[cursor.count++]);
        if (series.After(time, true, false, after) && after.time == time) {
            page.values.push_back(ValueOfSample(after, node.type, request.timestamps));
            continue;
        }
        if (!series.Before(time, false, goodOnly, before)) {
            page.values.push_back(Stamped(time, UA_STATUSCODE_BADNODATA, request.timestamps));
            continue;
        }
        const bool hasAfter = series.After(time, false, goodOnly, after);
        UA_StatusCode status = UA_STATUSCODE_GOOD;
        if (IsBadQuality(before.quality) || (hasAfter && !stepped && IsBadQuality(after.quality))) {
            page.values.push_back(Stamped(time, UA_STATUSCODE_BAD | kInterpolatedBits, request.timestamps));
            continue;
        }
        // Past the last sample the value is carried on: not quite known.
        if (!hasAfter || !IsGoodQuality(before.quality) || (!stepped && !IsGoodQuality(after.quality)))
            status = UA_STATUSCODE_UNCERTAINDATASUBNORMAL;
        HistorySample made = before;
        made.time = time;
        if (!stepped && hasAfter && after.time > before.time) {
            const double share =
                static_cast<double>(time - before.time) / static_cast<double>(after.time - before.time);
            made.number = before.number + (after.number - before.number) * share;
        }
        UA_DataValue value = Stamped(time, status | kInterpolatedBits, request.timestamps);
        value.hasValue = SampleToVariant(made, node.type, value.value);
        page.values.push_back(value);
    }
    page.more = cursor.count < details.reqTimesSize;
}

bool UaHistory::CountUpdate(const UA_NodeId* sessionId, const UA_RequestHeader* header, size_t values) {
    // The stack hands the entries of one request one by one: they are counted
    // by the request's session, handle and time stamp.
    const std::string session = SessionKeyOf(sessionId);
    const UA_UInt32 handle = header != nullptr ? header->requestHandle : 0;
    const UA_DateTime stamp = header != nullptr ? header->timestamp : 0;
    if (session != m_updateSession || handle != m_updateHandle || stamp != m_updateStamp) {
        m_updateSession = session;
        m_updateHandle = handle;
        m_updateStamp = stamp;
        m_updateEntries = 0;
        m_updateValues = 0;
    }
    ++m_updateEntries;
    m_updateValues += values;
    return m_updateEntries <= m_limits.nodesPerUpdate && values <= m_limits.valuesPerNode &&
           m_updateValues <= m_limits.valuesPerRequest;
}

void UaHistory::UpdateDataHook(UA_Server*, void* context, const UA_NodeId* sessionId, void* sessionContext,
                               const UA_RequestHeader* header, const UA_UpdateDataDetails* details,
                               UA_HistoryUpdateResult* result) {
    auto* self = static_cast<UaHistory*>(context);
    result->statusCode = self->UpdateData(sessionId, sessionContext, header, *details, *result);
}

UA_StatusCode UaHistory::UpdateData(const UA_NodeId* sessionId, void* sessionContext, const UA_RequestHeader* header,
                                    const UA_UpdateDataDetails& details, UA_HistoryUpdateResult& result) {
    if (!CountUpdate(sessionId, header, details.updateValuesSize)) return UA_STATUSCODE_BADTOOMANYOPERATIONS;
    if (!MayEditHistory(sessionContext)) return UA_STATUSCODE_BADUSERACCESSDENIED;
    HistoryUpdateKind kind;
    switch (details.performInsertReplace) {
    case UA_PERFORMUPDATETYPE_INSERT: kind = HistoryUpdateKind::Insert; break;
    case UA_PERFORMUPDATETYPE_REPLACE: kind = HistoryUpdateKind::Replace; break;
    case UA_PERFORMUPDATETYPE_UPDATE: kind = HistoryUpdateKind::Upsert; break;
    default: return UA_STATUSCODE_BADHISTORYOPERATIONINVALID;
    }
    std::string itemId;
    if (!ItemIdOf(details.nodeId, itemId)) return UA_STATUSCODE_BADNODEIDUNKNOWN;
    const UaHistoryNode node = m_lookup(itemId);
    if (!node.found) return UA_STATUSCODE_BADNODEIDUNKNOWN;
    if (node.series == nullptr || node.type == nullptr) return UA_STATUSCODE_BADHISTORYOPERATIONUNSUPPORTED;
    if (details.updateValuesSize == 0) return UA_STATUSCODE_BADNOTHINGTODO;
    auto* results = static_cast<UA_StatusCode*>(UA_Array_new(details.updateValuesSize, &UA_TYPES[UA_TYPES_STATUSCODE]));
    if (results == nullptr) return UA_STATUSCODE_BADOUTOFMEMORY;
    result.operationResults = results;
    result.operationResultsSize = details.updateValuesSize;
    const HistoryValueKind seriesKind = node.series->Kind();
    for (size_t i = 0; i < details.updateValuesSize; ++i) {
        const UA_DataValue& value = details.updateValues[i];
        HistorySample sample;
        if (!value.hasSourceTimestamp || value.sourceTimestamp <= 0) {
            results[i] = UA_STATUSCODE_BADINVALIDTIMESTAMP;
            continue;
        }
        sample.time = HistoryTimeOf(value.sourceTimestamp);
        sample.quality = QualityOfStatus(value.hasStatus ? value.status : UA_STATUSCODE_GOOD);
        // A Bad entry may come without a value; any other needs one of the node's type.
        const bool valueless = !value.hasValue || value.value.type == nullptr;
        if (valueless ? !IsBadQuality(sample.quality) : !SampleOfVariant(value.value, node.type, seriesKind, sample)) {
            results[i] = UA_STATUSCODE_BADTYPEMISMATCH;
            continue;
        }
        results[i] = StatusOfUpdate(node.series->Update(kind, sample));
    }
    return UA_STATUSCODE_GOOD;
}

void UaHistory::DeleteRawHook(UA_Server*, void* context, const UA_NodeId* sessionId, void* sessionContext,
                              const UA_RequestHeader* header, const UA_DeleteRawModifiedDetails* details,
                              UA_HistoryUpdateResult* result) {
    auto* self = static_cast<UaHistory*>(context);
    result->statusCode = self->DeleteRaw(sessionId, sessionContext, header, *details);
}

UA_StatusCode UaHistory::DeleteRaw(const UA_NodeId* sessionId, void* sessionContext, const UA_RequestHeader* header,
                                   const UA_DeleteRawModifiedDetails& details) {
    if (!CountUpdate(sessionId, header, 0)) return UA_STATUSCODE_BADTOOMANYOPERATIONS;
    if (!MayEditHistory(sessionContext)) return UA_STATUSCODE_BADUSERACCESSDENIED;
    if (details.isDeleteModified) return UA_STATUSCODE_BADHISTORYOPERATIONUNSUPPORTED;
    std::string itemId;
    if (!ItemIdOf(details.nodeId, itemId)) return UA_STATUSCODE_BADNODEIDUNKNOWN;
    const UaHistoryNode node = m_lookup(itemId);
    if (!node.found) return UA_STATUSCODE_BADNODEIDUNKNOWN;
    if (node.series == nullptr) return UA_STATUSCODE_BADHISTORYOPERATIONUNSUPPORTED;
    if (details.startTime == 0 && details.endTime == 0) return UA_STATUSCODE_BADINVALIDARGUMENT;
    HistoryTime from = HistoryTimeOf(details.startTime), to = HistoryTimeOf(details.endTime);
    if (details.startTime == 0) from = kEarliest;
    if (details.endTime == 0) to = kHistoryTimeMax;
    if (to < from) std::swap(from, to);
    if (from == to) to = from + 1;
    return node.series->Delete(from, to) > 0 ? UA_STATUSCODE_GOOD : UA_STATUSCODE_BADNODATA;
}

#pragma once
// The history service of the endpoint over the tags' own history: raw,
// processed and at-time reads with continuation points, and the edits of
// the history (insert, replace, update, delete). The stack calls it on the
// endpoint's thread holding its service lock, which stalls every other
// client meanwhile: each call is bounded in values (a page per node, a total
// per request) and in time (a budget per request, after which the nodes not
// yet read get a continuation point and nothing else).
#include "UaLibrary.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "HistorySeries.h"
#include "UaHistoryCursors.h"

// What the history service needs of a tag's node.
struct UaHistoryNode {
    bool found = false;                     // a tag has that item ID
    std::shared_ptr<HistorySeries> series;  // null: the tag keeps no history
    const UA_DataType* type = nullptr;      // the node's data type
};
using UaHistoryLookup = std::function<UaHistoryNode(const std::string& itemId)>;

struct UaHistoryLimits {
    std::size_t valuesPerNode = 10000;      // a page; MaxReturnDataValues
    std::size_t valuesPerRequest = 100000;  // all the nodes of one request
    std::size_t textPerRequest = 4 << 20;   // characters of text values, all nodes
    std::size_t nodesPerRead = 1000;
    std::size_t nodesPerUpdate = 1000;
    std::chrono::milliseconds budget{200};  // of one request, the service lock held
};

class UaHistory {
public:
    explicit UaHistory(UaHistoryLookup lookup, UaHistoryLimits limits = {});
    ~UaHistory();
    UaHistory(const UaHistory&) = delete;
    UaHistory& operator=(const UaHistory&) = delete;

    // The tags' namespace; nodes of any other have no history.
    void SetNamespace(UA_UInt16 ns) noexcept { m_namespace = ns; }
    // Puts the service and what the server says it can do in the configuration.
    void Install(UA_ServerConfig& config);
    // The session closed: its continuation points go.
    void ForgetSession(const UA_NodeId& sessionId);
    const UaHistoryLimits& Limits() const noexcept { return m_limits; }

    struct Request;

private:
    static void ReadRawHook(UA_Server*, void*, const UA_NodeId*, void*, const UA_RequestHeader*,
                            const UA_ReadRawModifiedDetails*, UA_TimestampsToReturn, UA_Boolean, size_t,
                            const UA_HistoryReadValueId*, UA_HistoryReadResponse*, UA_HistoryData* const* const);
    static void ReadModifiedHook(UA_Server*, void*, const UA_NodeId*, void*, const UA_RequestHeader*,
                                 const UA_ReadRawModifiedDetails*, UA_TimestampsToReturn, UA_Boolean, size_t,
                                 const UA_HistoryReadValueId*, UA_HistoryReadResponse*,
                                 UA_HistoryModifiedData* const* const);
    static void ReadProcessedHook(UA_Server*, void*, const UA_NodeId*, void*, const UA_RequestHeader*,
                                  const UA_ReadProcessedDetails*, UA_TimestampsToReturn, UA_Boolean, size_t,
                                  const UA_HistoryReadValueId*, UA_HistoryReadResponse*, UA_HistoryData* const* const);
    static void ReadAtTimeHook(UA_Server*, void*, const UA_NodeId*, void*, const UA_RequestHeader*,
                               const UA_ReadAtTimeDetails*, UA_TimestampsToReturn, UA_Boolean, size_t,
                               const UA_HistoryReadValueId*, UA_HistoryReadResponse*, UA_HistoryData* const* const);
    static void UpdateDataHook(UA_Server*, void*, const UA_NodeId*, void*, const UA_RequestHeader*,
                               const UA_UpdateDataDetails*, UA_HistoryUpdateResult*);
    static void DeleteRawHook(UA_Server*, void*, const UA_NodeId*, void*, const UA_RequestHeader*,
                              const UA_DeleteRawModifiedDetails*, UA_HistoryUpdateResult*);

    // One node of a read: its values, or a status, and a continuation point.
    struct Page;
    using PageReader = std::function<void(size_t index, const UaHistoryNode& node, UaHistoryCursor& cursor,
                                          Request& request, Page& page)>;
    using CursorMaker = std::function<UA_StatusCode(const UaHistoryNode& node, UaHistoryCursor& cursor)>;
    void Read(const UA_NodeId* sessionId, UaHistoryCursor::Read kind, UA_TimestampsToReturn timestamps, bool release,
              size_t count, const UA_HistoryReadValueId* nodes, UA_HistoryReadResponse* response,
              UA_HistoryData* const* data, const std::function<CursorMaker(size_t index)>& start,
              const PageReader& reader);
    void ReadRawPage(const UA_ReadRawModifiedDetails& details, const UaHistoryNode& node, UaHistoryCursor& cursor,
                     Request& request, Page& page);
    void ReadProcessedPage(const UA_ReadProcessedDetails& details, size_t index, const UaHistoryNode& node,
                           UaHistoryCursor& cursor, Request& request, Page& page);
    void ReadAtTimePage(const UA_ReadAtTimeDetails& details, const UaHistoryNode& node, UaHistoryCursor& cursor,
                        Request& request, Page& page);
    UA_StatusCode UpdateData(const UA_NodeId* sessionId, void* sessionContext, const UA_RequestHeader* header,
                             const UA_UpdateDataDetails& details, UA_HistoryUpdateResult& result);
    UA_StatusCode DeleteRaw(const UA_NodeId* sessionId, void* sessionContext, const UA_RequestHeader* header,
                            const UA_DeleteRawModifiedDetails& details);
    // Counts one more operation of an update request; false past the bounds.
    bool CountUpdate(const UA_NodeId* sessionId, const UA_RequestHeader* header, size_t values);
    // The item ID of a node of ours, or false.
    bool ItemIdOf(const UA_NodeId& nodeId, std::string& itemId) const;

    UaHistoryLookup m_lookup;
    UaHistoryLimits m_limits;
    UA_UInt16 m_namespace = 0;
    UaHistoryCursors m_cursors;
    // The update request being answered: the stack calls once per entry.
    std::string m_updateSession;
    UA_UInt32 m_updateHandle = 0;
    UA_DateTime m_updateStamp = 0;
    size_t m_updateEntries = 0;
    size_t m_updateValues = 0;
};

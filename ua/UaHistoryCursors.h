#pragma once
// The continuation points of history reads: where a read that returned one
// page resumes. A point is held for the session that got it, used once, and
// a session holds a bounded number; what a client sends back is checked
// against what was handed out, so a made-up, altered, released or other
// session's point is refused. Endpoint thread only (the stack's service lock).
#include "UaLibrary.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "HistorySeries.h"
#include "HistoryTypes.h"

// Where a read goes on.
struct UaHistoryCursor {
    enum class Read : std::uint8_t { Raw, Processed, AtTime };
    Read read = Read::Raw;
    std::string node;                     // the item ID read
    std::weak_ptr<HistorySeries> series;  // the series read: another one (a file opened) ends the read
    HistoryValueKind kind = HistoryValueKind::Float;
    HistoryTime time = 0;     // raw: the next sample's time; processed and at-time: unused
    std::uint64_t count = 0;  // raw: samples at `time` returned already; else the next interval or requested time
    bool startBoundDone = false;
    bool onlyEndBound = false;  // raw: the samples are all out, the end bound is left
};

class UaHistoryCursors {
public:
    static constexpr std::size_t kMostPerSession = 50;

    // A point for `cursor`, written to `out` (which it owns); false when the
    // session holds its most already.
    bool Make(const std::string& session, UaHistoryCursor cursor, UA_ByteString& out);
    // The cursor of a point this session holds for that node and kind of
    // read, which it no longer holds; nothing (and the point stays) for any other.
    std::unique_ptr<UaHistoryCursor> Take(const std::string& session, const UA_ByteString& point,
                                          const std::string& node, UaHistoryCursor::Read read);
    // Lets go of a point (releaseContinuationPoints) of that node; false when not held.
    bool Release(const std::string& session, const UA_ByteString& point, const std::string& node);
    void ForgetSession(const std::string& session);

private:
    struct Point {
        std::string bytes;
        UaHistoryCursor cursor;
    };
    using Points = std::map<std::uint64_t, Point>;  // by the point's number
    // The held point the bytes name, checked whole.
    bool Find(const std::string& session, const UA_ByteString& point, Points*& points, Points::iterator& found);

    std::map<std::string, Points> m_points;  // by session
    std::uint64_t m_next = 0;
    std::uint64_t m_salt = 0;
};

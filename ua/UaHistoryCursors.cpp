// Winsock before any header that brings windows.h.
#include "UaLibrary.h"

#include "UaHistoryCursors.h"

#include <cstring>
#include <random>

namespace {
constexpr std::uint32_t kMagic = 0x48435031;  // "HCP1"

// What the point carries: enough to see it is ours and what it resumes,
// never trusted alone (the held copy decides).
struct Wire {
    std::uint32_t magic;
    std::uint32_t nodeCheck;
    std::uint64_t number;
    std::int64_t time;
    std::uint64_t count;
};

std::uint32_t NodeCheck(const std::string& node) {
    std::uint32_t hash = 2166136261u;
    for (unsigned char c : node) hash = (hash ^ c) * 16777619u;
    return hash;
}

bool Parse(const UA_ByteString& point, Wire& wire) {
    if (point.length != sizeof(Wire) || point.data == nullptr) return false;
    std::memcpy(&wire, point.data, sizeof wire);
    return wire.magic == kMagic;
}
}  // namespace

bool UaHistoryCursors::Make(const std::string& session, UaHistoryCursor cursor, UA_ByteString& out) {
    auto& held = m_points[session];
    if (held.size() >= kMostPerSession) return false;
    if (m_salt == 0) m_salt = (static_cast<std::uint64_t>(std::random_device{}()) << 32) | std::random_device{}();
    // Numbers are not guessable from one another: a counter mixed with the salt.
    std::uint64_t number = (++m_next) * 0x9E3779B97F4A7C15ull ^ m_salt;
    Wire wire{kMagic, NodeCheck(cursor.node), number, cursor.time, cursor.count};
    std::string bytes(reinterpret_cast<const char*>(&wire), sizeof wire);
    if (UA_ByteString_allocBuffer(&out, bytes.size()) != UA_STATUSCODE_GOOD) return false;
    std::memcpy(out.data, bytes.data(), bytes.size());
    held.emplace(number, Point{std::move(bytes), std::move(cursor)});
    return true;
}

bool UaHistoryCursors::Find(const std::string& session, const UA_ByteString& point, Points*& points,
                            Points::iterator& found) {
    Wire wire;
    if (!Parse(point, wire)) return false;
    auto held = m_points.find(session);
    if (held == m_points.end()) return false;
    points = &held->second;
    found = points->find(wire.number);
    return found != points->end() &&
           found->second.bytes == std::string(reinterpret_cast<const char*>(point.data), point.length) &&
           wire.nodeCheck == NodeCheck(found->second.cursor.node);
}

std::unique_ptr<UaHistoryCursor> UaHistoryCursors::Take(const std::string& session, const UA_ByteString& point,
                                                        const std::string& node, UaHistoryCursor::Read read) {
    Points* points = nullptr;
    Points::iterator found;
    if (!Find(session, point, points, found) || found->second.cursor.node != node ||
        found->second.cursor.read != read) {
        return nullptr;
    }
    auto cursor = std::make_unique<UaHistoryCursor>(std::move(found->second.cursor));
    points->erase(found);
    return cursor;
}

bool UaHistoryCursors::Release(const std::string& session, const UA_ByteString& point, const std::string& node) {
    Points* points = nullptr;
    Points::iterator found;
    if (!Find(session, point, points, found) || found->second.cursor.node != node) return false;
    points->erase(found);
    return true;
}

void UaHistoryCursors::ForgetSession(const std::string& session) { m_points.erase(session); }

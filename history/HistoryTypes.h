#pragma once
// What the history of a tag is made of: times, values and qualities, with no
// tie to any protocol, so that every reader (UA, a window, a later classic
// history server) takes the same samples.
#include <cstdint>
#include <limits>
#include <string>

// FILETIME ticks: 100 ns since 1601-01-01 UTC, signed so that "before
// everything" and differences need no care.
using HistoryTime = std::int64_t;
inline constexpr HistoryTime kHistoryTicksPerMs = 10'000;
inline constexpr HistoryTime kHistoryTicksPerSecond = 10'000'000;
// Largest time a FILETIME holds as a signed 64-bit number.
inline constexpr HistoryTime kHistoryTimeMax = std::numeric_limits<std::int64_t>::max();

// How a series' values are kept and read back. Boolean and the integer types
// are stepped (a value holds until the next); Float is sloped.
enum class HistoryValueKind : std::uint8_t { Boolean, Integer, Float, Text };
constexpr bool IsSteppedKind(HistoryValueKind kind) noexcept { return kind != HistoryValueKind::Float; }

// The OPC DA quality word of a sample (0xC0 Good, 0x40 Uncertain, 0x00 Bad,
// with their substatus and limit bits).
using HistoryQuality = std::uint16_t;
constexpr bool IsGoodQuality(HistoryQuality q) noexcept { return (q & 0xC0) == 0xC0; }
constexpr bool IsUncertainQuality(HistoryQuality q) noexcept { return (q & 0xC0) == 0x40; }
constexpr bool IsBadQuality(HistoryQuality q) noexcept { return (q & 0xC0) == 0x00; }

// A sample of a numeric series (Boolean 0/1, integers, floats): what the
// aggregates and the trend read, without a string's cost.
struct HistoryPoint {
    HistoryTime time = 0;
    double value = 0;
    HistoryQuality quality = 0;
};

// A sample of any series, as raw reads give it back.
struct HistorySample {
    HistoryTime time = 0;
    double number = 0;  // Boolean 0/1, integers, floats
    std::wstring text;  // Text series only
    HistoryQuality quality = 0;
    bool operator==(const HistorySample&) const = default;
};

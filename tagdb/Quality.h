#pragma once
#include <windows.h>

// OPC quality words the tag database sets.
constexpr WORD kQualityBad = 0x00;
constexpr WORD kQualityBadNotConnected = 0x08;
constexpr WORD kQualityBadOutOfService = 0x1C;
constexpr WORD kQualityUncertain = 0x40;
constexpr WORD kQualityGood = 0xC0;
constexpr WORD kQualityMask = 0xC0;

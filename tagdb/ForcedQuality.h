#pragma once
// A quality imposed on a tag, on a group (every tag below it) or on a device,
// over the tag's own quality: a client under test meets bad and uncertain data
// on purpose. The nearest forcing wins: the tag's own, then its groups' from
// the inside out, then its device's.
#include <windows.h>
#include <span>

constexpr int kNotForced = -1;

// The qualities that may be forced, in the order the editor lists them: Good,
// Good (Local Override), Uncertain and Bad each alone and with each substatus.
std::span<const WORD> ForcibleQualities();
// kNotForced, or one of ForcibleQualities().
bool IsForcibleQuality(int quality);

#pragma once
// The fixed texts of the tag database, read from the string table once at
// start-up (and on first use, should start-up not have done it).
#include <windows.h>
#include <string>

void LoadTagTexts();

std::wstring QualityText(WORD quality);
// The quality text of a forced quality, marked as forced.
std::wstring ForcedQualityText(WORD quality);
std::wstring AccessText(DWORD accessMode);
// Type name offered by the write dialog; "Unknown" for other types.
std::wstring DataTypeName(VARTYPE type);
// Status bar text of a device's poll state (0 idle, 1 starting, 2 waiting, 3 polling).
std::wstring PollStateText(int pollState);

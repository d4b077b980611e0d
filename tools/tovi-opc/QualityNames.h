#pragma once
// The quality words a user may type (fault's quality, a VQT write): good,
// uncertain, comm-failure, ... in any letter case.
#include <windows.h>
#include <string>

// The quality a name stands for; -1 for "none" (the tag's own quality, a
// fault's word only). False for no such name.
bool QualityFromName(const std::wstring& name, int& quality);
// A name other than "none", or a number 0 to 255 in decimal or 0x hex.
bool ParseQualityText(const std::wstring& text, WORD& quality);

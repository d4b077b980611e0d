#pragma once
// One ITEM=VALUE[,QUALITY[,TIMESTAMP]] word of write --vqt. VALUE runs to the
// first comma, or is written in double quotes ("a, b") with "" for a quote
// inside; an empty QUALITY or TIMESTAMP is left to the server.
#include <windows.h>
#include <string>

#include "OpcDa.h"

struct VqtText {
    std::wstring itemId;
    std::wstring value;
    bool qualitySpecified = false;
    WORD quality = 0;
    bool timestampSpecified = false;
    FILETIME timestamp{};
};

// False with the reason when the word is no such text. "now" stands for the
// moment of parsing.
bool ParseVqtText(const std::wstring& word, VqtText& vqt, std::string* why);

// The value converted to `type` (as the 2.0 write converts it) into
// `wire.vDataValue`, which the caller clears, with the quality and timestamp
// as given; the conversion's result.
HRESULT VqtToWire(const VqtText& vqt, VARTYPE type, OPCITEMVQT& wire);

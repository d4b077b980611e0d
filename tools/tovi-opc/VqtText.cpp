#include "VqtText.h"

#include "QualityNames.h"
#include "Text.h"
#include "ValueText.h"

namespace {
// Built front to back: a literal put before a temporary string draws GCC 12's
// false -Wrestrict warning at -O3.
std::string Quoted(const std::wstring& text) {
    std::string quoted(1, '"');
    quoted += ToUtf8(text);
    quoted += '"';
    return quoted;
}
}  // namespace

bool ParseVqtText(const std::wstring& word, VqtText& vqt, std::string* why) {
    vqt = VqtText();
    const size_t equals = word.find(L'=');
    if (equals == std::wstring::npos || equals == 0) {
        *why = Quoted(word).append(" is not ITEM=VALUE[,QUALITY[,TIMESTAMP]]");
        return false;
    }
    vqt.itemId = word.substr(0, equals);
    size_t at = equals + 1;
    if (at < word.size() && word[at] == L'"') {
        for (++at;; ++at) {
            if (at >= word.size()) {
                *why = Quoted(word).append(": the quoted value has no closing quote");
                return false;
            }
            if (word[at] == L'"') {
                if (at + 1 < word.size() && word[at + 1] == L'"') {
                    vqt.value += L'"';
                    ++at;
                    continue;
                }
                ++at;
                break;
            }
            vqt.value += word[at];
        }
        if (at < word.size() && word[at] != L',') {
            *why = Quoted(word).append(": a comma must follow the quoted value");
            return false;
        }
    } else {
        const size_t comma = word.find(L',', at);
        vqt.value = word.substr(at, comma - at);
        at = comma;
    }
    if (at == std::wstring::npos || at >= word.size()) return true;
    // At a comma: QUALITY[,TIMESTAMP].
    const std::wstring rest = word.substr(at + 1);
    const size_t comma = rest.find(L',');
    const std::wstring quality = rest.substr(0, comma);
    const std::wstring time = comma == std::wstring::npos ? std::wstring() : rest.substr(comma + 1);
    if (!quality.empty()) {
        if (!ParseQualityText(quality, vqt.quality)) {
            *why = Quoted(quality).append(
                " is no quality: a name as fault takes (good, uncertain, comm-failure, ...) "
                "or a number 0 to 255");
            return false;
        }
        vqt.qualitySpecified = true;
    }
    if (!time.empty()) {
        if (time == L"now") {
            GetSystemTimeAsFileTime(&vqt.timestamp);
        } else if (!TimestampFromText(time, vqt.timestamp)) {
            *why = Quoted(time).append(" is no timestamp: ISO 8601 in UTC, 2024-05-01T12:34:56.789Z, or now");
            return false;
        }
        vqt.timestampSpecified = true;
    }
    return true;
}

HRESULT VqtToWire(const VqtText& vqt, VARTYPE type, OPCITEMVQT& wire) {
    wire = OPCITEMVQT{};
    VariantInit(&wire.vDataValue);
    wire.bQualitySpecified = vqt.qualitySpecified ? TRUE : FALSE;
    wire.wQuality = vqt.quality;
    wire.bTimeStampSpecified = vqt.timestampSpecified ? TRUE : FALSE;
    wire.ftTimeStamp = vqt.timestamp;
    return TextToValue(vqt.value, type, wire.vDataValue);
}

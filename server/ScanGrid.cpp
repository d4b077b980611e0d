#include "ScanGrid.h"

#include <algorithm>

ULONGLONG NextScanDue(ULONGLONG previousDue, ULONGLONG scanStart, DWORD rate) noexcept {
    const ULONGLONG period = std::max<DWORD>(rate, 1);
    if (previousDue == 0 || scanStart < previousDue) return scanStart + period;
    return previousDue + period * ((scanStart - previousDue) / period + 1);
}

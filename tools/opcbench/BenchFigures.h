#pragma once
// What the OPC benchmarks share in reading their switches and printing
// their figures.
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

// The median, NaN without samples.
inline double MedianOf(std::vector<double> v) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A table cell: the figure, or "-" where there is none.
inline std::string Cell(double value, int width, int decimals) {
    char text[32];
    if (std::isnan(value)) {
        std::snprintf(text, sizeof text, "%*s", width, "-");
    } else {
        std::snprintf(text, sizeof text, "%*.*f", width, decimals, value);
    }
    return text;
}

// The number N of a switch /Name:N (at least 1), or the fallback.
inline int SwitchNumber(int argc, wchar_t** argv, const wchar_t* name, int fallback) {
    const size_t n = std::wcslen(name);
    for (int i = 1; i < argc; ++i) {
        if (_wcsnicmp(argv[i] + 1, name, n) == 0 && argv[i][n + 1] == L':') return std::max(1, _wtoi(argv[i] + n + 2));
    }
    return fallback;
}

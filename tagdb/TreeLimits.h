#pragma once
// How large a configuration's parts may be. Every road into the tree (the
// configuration file, the tag import, the editor) keeps to them, so that no
// input can drive a recursive walk past the stack or a name past what the
// views and the protocols handle.
#include <cstddef>
#include <string>

#include "Archive.h"

// Group levels below a device: the levels of nested records the
// configuration file reads, less the device's own.
inline constexpr std::size_t kMaxGroupDepth = Archive::kMaxNesting - 1;
// Characters of a device's, group's or tag's name.
inline constexpr std::size_t kMaxNameLength = 4096;
// Rows of one tag import (header aside): the planned rows are held whole
// before anything changes, so that an import is all or nothing.
inline constexpr std::size_t kMaxImportRows = 1000000;

inline std::wstring NameLengthRefusal() {
    return L"A name may have at most " + std::to_wstring(kMaxNameLength) + L" characters.";
}

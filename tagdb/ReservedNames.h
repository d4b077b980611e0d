#pragma once
// Names that no device or group of a configuration may bear: the control
// branch's, which item IDs and browsing put beside the devices and inside
// each device while fault control is on.
#include <string>
#include <string_view>

inline constexpr wchar_t kControlBranchName[] = L"_Control";

// In any letter case, as item IDs compare names.
bool IsReservedName(std::wstring_view name);
// Why a device or group may not be named `name`, in words for the user.
std::wstring ReservedNameRefusal(std::wstring_view name);

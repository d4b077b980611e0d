#include "ReservedNames.h"

#include "Text.h"

bool IsReservedName(std::wstring_view name) { return EqualsNoCase(name, kControlBranchName); }

std::wstring ReservedNameRefusal(std::wstring_view name) {
    return L"The name \"" + std::wstring(name) +
           L"\" is reserved for the fault control items. Please choose another name.";
}

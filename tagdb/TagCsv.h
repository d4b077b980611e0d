#pragma once
// Tags to and from CSV: one row per tag, its item ID and every stored setting,
// under a header row that names the columns (any order on import).
#include <string>
#include <string_view>
#include <vector>

#include "Dll.h"

class OPCS_Device;
class OPCS_Tag;

struct TagImportResult {
    std::vector<std::wstring> errors;  // every bad line; nothing was changed when any
    size_t added = 0;
    size_t updated = 0;
    bool Succeeded() const noexcept { return errors.empty(); }
};

// The tags of `devices` in tree order (a group's tags, then its groups), as
// UTF-8 with a byte order mark. The caller holds the configuration lock.
std::string ExportTagsCsv(const Dll<OPCS_Device*>& devices);

// When every line of `csv` is sound: updates the tags that exist, adds the
// rest, and creates the devices and groups their item IDs name. Otherwise
// changes nothing: a bad line, more than kMaxImportRows rows, a name too
// long, groups nested too deep, or memory running out while the rows are
// read. Gives the tags it updated and added in `touched`. The caller holds
// the configuration lock.
TagImportResult ImportTagsCsv(std::string_view csv, Dll<OPCS_Device*>& devices,
                              std::vector<OPCS_Tag*>* touched = nullptr);

#include "ConfigurationFile.h"

#include <new>
#include <unordered_set>
#include <vector>

#include "EventLog.h"
#include "OPCS_Device.h"
#include "RecordVersions.h"
#include "Records.h"
#include "ReservedNames.h"
#include "Text.h"
#include "WholeFile.h"

// Every record is logged: the log gets them in batches.
void StoreConfiguration(Archive& archive, const Dll<OPCS_Device*>& devices) {
    const EventLog::BatchedWrites batch(theEventLog);
    archive.WriteDouble(kRecordVersion);
    DeviceRecord::StoreList(archive, devices);
}

void LoadConfiguration(Archive& archive, Dll<OPCS_Device*>& into) {
    const EventLog::BatchedWrites batch(theEventLog);
    archive.ReadDouble();
    DeviceRecord::LoadList(archive, into);
}

std::vector<LoadRename> RenameClashingDevices(const Dll<OPCS_Device*>& devices) {
    // Every name the list holds is kept from the new names, so that a rename
    // never takes the name of a later device.
    std::unordered_set<std::wstring> held, seen;
    for (OPCS_Device* device : devices) {
        if (OPCS_TagGroup::IsValidGroup(device)) held.insert(FoldCase(device->GetName()));
    }
    std::vector<LoadRename> renames;
    for (OPCS_Device* device : devices) {
        if (!OPCS_TagGroup::IsValidGroup(device)) continue;
        const std::wstring name = device->GetName();
        const bool reserved = IsReservedName(name);
        if (!reserved && seen.insert(FoldCase(name)).second) continue;
        std::wstring candidate;
        for (unsigned n = 2;; ++n) {
            candidate = FormatText(L"%ls v%u", name.c_str(), n);
            if (held.insert(FoldCase(candidate)).second) break;
        }
        seen.insert(FoldCase(candidate));
        device->Rename(candidate);
        renames.push_back({LoadRename::Kind::Device, reserved, name, candidate});
    }
    return renames;
}

ConfigFileResult LoadConfigurationFile(const std::wstring& path, Dll<OPCS_Device*>& into) {
    ConfigFileResult result;
    try {
        std::vector<BYTE> bytes;
        if (!ReadWholeFile(path, bytes, result.error)) {
            result.status = ConfigFileStatus::FileError;
            return result;
        }
        if (!RoomToLoad(bytes.size(), MemoryLeftForLoad())) {
            // Refused before the objects are made: running out halfway would
            // leave every other thread of the process short as well.
            result.status = ConfigFileStatus::FileError;
            result.error = ERROR_NOT_ENOUGH_MEMORY;
            return result;
        }
        Archive archive(std::move(bytes));
        try {
            LoadConfiguration(archive, into);
        } catch (const ArchiveEndOfFile&) {
            result.status = ConfigFileStatus::EndOfFile;
        }
        result.droppedRecords = archive.DroppedRecords();
        result.renames = RenameClashingDevices(into);
        // Named by their item IDs, which the device renames decide.
        for (const Archive::ChildRename& rename : archive.ChildRenames()) {
            if (!OPCS_TagGroup::IsValidGroup(rename.parent)) continue;
            const std::wstring path = rename.parent->GetPath();
            result.renames.push_back({rename.tag ? LoadRename::Kind::Tag : LoadRename::Kind::Group, rename.reserved,
                                      path + rename.from, path + rename.to});
        }
    } catch (const std::bad_alloc&) {
        // Nothing of a load that ran out is kept: it would be served as if whole.
        for (OPCS_Device* device : into) delete device;
        into.Clear();
        result = ConfigFileResult{};
        result.status = ConfigFileStatus::FileError;
        result.error = ERROR_NOT_ENOUGH_MEMORY;
    }
    return result;
}

bool RoomToLoad(size_t fileBytes, unsigned long long available) {
    // The objects of a file take about this many times its bytes (a million
    // mixed tags: 100 bytes on disk, up to 650 in memory), and the process
    // keeps a margin for its threads and clients meanwhile.
    constexpr unsigned long long kObjectBytesPerFileByte = 8;
    constexpr unsigned long long kMargin = 64ull << 20;
    const unsigned long long needed = static_cast<unsigned long long>(fileBytes) * kObjectBytesPerFileByte + kMargin;
    return needed <= available;
}

unsigned long long MemoryLeftForLoad() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) return ~0ull;  // unknown: let the load find out
    // Address space (what limits a 32-bit process) and commit (what limits
    // every process), whichever is scarcer.
    return status.ullAvailVirtual < status.ullAvailPageFile ? status.ullAvailVirtual : status.ullAvailPageFile;
}

ConfigFileResult SaveConfigurationFile(const std::wstring& path, const Dll<OPCS_Device*>& devices) {
    ConfigFileResult result;
    try {
        Archive archive;
        StoreConfiguration(archive, devices);
        if (!WriteFileReplacing(path, archive.Bytes(), result.error)) {
            result.status = ConfigFileStatus::FileError;
        }
    } catch (const std::bad_alloc&) {
        result.status = ConfigFileStatus::RecordError;
        result.error = ERROR_NOT_ENOUGH_MEMORY;
    } catch (const std::exception&) {
        result.status = ConfigFileStatus::RecordError;
        result.error = ERROR_INVALID_DATA;
    }
    return result;
}

#pragma once
// The configuration file: the file head (the version 1.6 as a DOUBLE, read
// and not checked) followed by the device list.
#include <windows.h>

#include <string>
#include <vector>

#include "Archive.h"
#include "Dll.h"

class OPCS_Device;

// Writes the head and every valid device of the list with everything below
// it. The caller holds the configuration lock. Raises ArchiveFormatError when
// a record cannot be encoded and std::bad_alloc when memory runs out; each
// failure is logged by the list that met it. Nothing is written to disk.
void StoreConfiguration(Archive& archive, const Dll<OPCS_Device*>& devices);

// Reads the head and the device list, appending each device read to `into`;
// the caller owns them from then on. A record that cannot be read ends its
// list, is logged and counted in archive.DroppedRecords(); loading goes on.
// Raises ArchiveEndOfFile when the data ends outside every record (in the
// head, the device count or a device's class code); the devices
// read before that stay in `into`. Otherwise only std::bad_alloc, when memory
// runs out between records.
void LoadConfiguration(Archive& archive, Dll<OPCS_Device*>& into);

enum class ConfigFileStatus {
    Ok,
    FileError,    // the file could not be opened, read or written: see error
    EndOfFile,    // loading: the data ended outside every record
    RecordError,  // saving: a record could not be encoded (error ERROR_INVALID_DATA)
                  // or memory ran out (ERROR_NOT_ENOUGH_MEMORY); the file is untouched
};

// A device, group or tag that a file named as an earlier sibling of its kind
// was (in any letter case), or a device or group with a reserved name, and
// the name it was given so that item IDs reach it. Groups and tags are named
// by their item IDs, devices by their names.
struct LoadRename {
    enum class Kind { Device, Group, Tag };
    Kind kind = Kind::Device;
    bool reserved = false;  // the name is reserved, not an earlier sibling's
    std::wstring from;
    std::wstring to;
};

struct ConfigFileResult {
    ConfigFileStatus status = ConfigFileStatus::Ok;
    DWORD error = ERROR_SUCCESS;      // the Win32 error of a FileError or RecordError
    size_t droppedRecords = 0;        // loading: records that could not be read or adopted
    std::vector<LoadRename> renames;  // loading: the devices in file order, then the groups and tags
};

// Gives every device of the list that bears the name of an earlier one, in
// any letter case, or a reserved name, the first free name "name v2",
// "name v3", ... that no device of the list bears; says which it renamed.
std::vector<LoadRename> RenameClashingDevices(const Dll<OPCS_Device*>& devices);

// Reads the whole file and loads it as LoadConfiguration does (which renames
// clashing groups and tags), then renames clashing devices
// (RenameClashingDevices). On EndOfFile
// the devices read before the fault stay in `into`. A file whose objects would
// not fit in the memory left (RoomToLoad), or memory running out while
// loading, gives FileError with ERROR_NOT_ENOUGH_MEMORY and leaves `into`
// empty. Never raises.
ConfigFileResult LoadConfigurationFile(const std::wstring& path, Dll<OPCS_Device*>& into);

// Whether the objects of a file of that size fit in `available` bytes of
// memory (MemoryLeftForLoad: address space or commit, the scarcer).
bool RoomToLoad(size_t fileBytes, unsigned long long available);
unsigned long long MemoryLeftForLoad();

// Stores the configuration and replaces the file with it. The new content is
// written beside the file first, so a failed save leaves the previous file as
// it was. Never raises.
ConfigFileResult SaveConfigurationFile(const std::wstring& path, const Dll<OPCS_Device*>& devices);

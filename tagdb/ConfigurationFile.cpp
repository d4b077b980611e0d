#include "ConfigurationFile.h"

#include <new>
#include <vector>

#include "Device.h"
#include "RecordVersions.h"
#include "Records.h"
#include "WholeFile.h"

void StoreConfiguration(Archive& archive, const Dll<OPCS_Device*>& devices) {
    archive.WriteDouble(kRecordVersion);
    DeviceRecord::StoreList(archive, devices);
}

void LoadConfiguration(Archive& archive, Dll<OPCS_Device*>& into) {
    archive.ReadDouble();
    DeviceRecord::LoadList(archive, into);
}

ConfigFileResult LoadConfigurationFile(const std::wstring& path, Dll<OPCS_Device*>& into) {
    ConfigFileResult result;
    try {
        std::vector<BYTE> bytes;
        if (!ReadWholeFile(path, bytes, result.error)) {
            result.status = ConfigFileStatus::FileError;
            return result;
        }
        Archive archive(std::move(bytes));
        try {
            LoadConfiguration(archive, into);
        } catch (const ArchiveEndOfFile&) {
            result.status = ConfigFileStatus::EndOfFile;
        }
        result.droppedRecords = archive.DroppedRecords();
    } catch (const std::bad_alloc&) {
        result.status = ConfigFileStatus::FileError;
        result.error = ERROR_NOT_ENOUGH_MEMORY;
    }
    return result;
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

// Loading and saving of the configuration file, with the standard file
// error texts of a document.
#include "Document.h"

#include <algorithm>

#include "ConfigurationFile.h"
#include "Device.h"
#include "EventLog.h"
#include "FileBackup.h"
#include "MessageBoxes.h"
#include "OPCS_Registry.h"
#include "ProgramPaths.h"
#include "Text.h"

namespace {
void ReportSaveError(const ConfigFileResult& result, const std::wstring& path) {
    std::wstring text = L"Failed to save document.";
    if (result.status == ConfigFileStatus::FileError) {
        switch (result.error) {
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            text = L"Destination disk drive is full.";
            break;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT:
            text = L"Unable to write to " + path + L", it is read-only or opened by someone else.";
            break;
        default:
            break;
        }
    }
    AppMessageBox(text, MB_OK | MB_ICONEXCLAMATION);
}

bool SameFile(const std::wstring& a, const std::wstring& b) { return EqualsNoCase(FullPath(a), FullPath(b)); }

void ReportRenamedDevices(const std::wstring& path, const std::vector<DeviceRename>& renames) {
    if (renames.empty()) return;
    std::wstring text = L"The configuration file " + path +
                        L" names more than one device alike (item IDs do not tell letter case apart). "
                        L"So that every tag stays reachable:";
    for (const DeviceRename& rename : renames) {
        theEventLog << L"Device name already used - device renamed from:" << rename.from << L"to:" << rename.to
                    << EventLog::EndEntry;
        text += L"\n\"" + rename.from + L"\" is now named \"" + rename.to + L"\"";
    }
    text += L"\nThe original file is kept beside it when the configuration is next saved.";
    AppMessageBox(text, MB_OK | MB_ICONEXCLAMATION);
}
}  // namespace

bool OPCS_Doc::KeepOriginalBeforeSave(const std::wstring& path, DWORD& error) {
    error = ERROR_SUCCESS;
    const auto damaged = std::find_if(damagedFiles_.begin(), damagedFiles_.end(),
                                      [&path](const std::wstring& file) { return SameFile(file, path); });
    if (damaged == damagedFiles_.end() && !ownFile_.empty() && SameFile(ownFile_, path)) {
        return true;
    }
    std::wstring backup;
    if (!KeepBackupBeside(path, backup, error)) {
        // No file there (a missing file that was refused, or one removed since): nothing to lose.
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            if (damaged != damagedFiles_.end()) damagedFiles_.erase(damaged);
            error = ERROR_SUCCESS;
            return true;
        }
        return false;
    }
    std::wstring text;
    if (damaged != damagedFiles_.end()) {
        damagedFiles_.erase(damaged);
        theEventLog << L"Configuration file not loaded cleanly - original kept as:" << backup << EventLog::EndEntry;
        text = L"The configuration file " + path + L" was damaged and could not be read completely. "
               L"The original file is kept as " + backup + L".";
    } else {
        theEventLog << L"Configuration file not loaded before saving over it - original kept as:" << backup
                    << EventLog::EndEntry;
        text = L"The configuration file " + path + L" was not loaded before this configuration was saved over it. "
               L"The original file is kept as " + backup + L".";
    }
    AppMessageBox(text, MB_OK | MB_ICONEXCLAMATION);
    return true;
}

bool OPCS_Doc::LoadFrom(const std::wstring& path, bool reportFailure) {
    Dll<OPCS_Device*> loaded;
    const ConfigFileResult result = LoadConfigurationFile(path, loaded);
    const bool clean = result.status == ConfigFileStatus::Ok && result.droppedRecords == 0 && result.renamedDevices.empty();
    std::erase_if(damagedFiles_, [&path](const std::wstring& file) { return SameFile(file, path); });
    if (!clean && result.status != ConfigFileStatus::FileError) {
        damagedFiles_.push_back(path);
    }
    if (result.status == ConfigFileStatus::FileError) {
        openError_ = result.error;
        // Not read now: whatever is there is no longer known to be ours.
        if (SameFile(ownFile_, path)) ownFile_.clear();
        if (reportFailure) AppMessageBox(L"Failed to open document.", MB_OK | MB_ICONEXCLAMATION);
        return false;
    }
    DeleteContents();
    {
        ScopedLock guard(ConfigurationLock());
        loaded.CopyInto(devices_);
    }
    SetPathName(path);
    ownFile_ = clean ? path : std::wstring();
    ReportRenamedDevices(path, result.renamedDevices);
    if (result.status == ConfigFileStatus::EndOfFile) {
        // What could be read is kept and served; the file itself is not
        // touched until the user saves.
        AppMessageBox(L"Unexpected file format.", MB_OK | MB_ICONEXCLAMATION);
        SetModifiedFlag(true);
    } else {
        SetModifiedFlag(!clean);
    }
    return true;
}

bool OPCS_Doc::DoSave(const std::wstring& path) {
    if (path.empty()) {
        return false;
    }
    DWORD keepError = ERROR_SUCCESS;
    if (!KeepOriginalBeforeSave(path, keepError)) {
        // A file that could not be read is not written over either.
        ConfigFileResult refused;
        refused.status = ConfigFileStatus::FileError;
        refused.error = keepError;
        ReportSaveError(refused, path);
        return false;
    }
    ConfigFileResult result;
    {
        ScopedLock guard(ConfigurationLock());
        result = SaveConfigurationFile(path, devices_);
    }
    if (result.status != ConfigFileStatus::Ok) {
        ReportSaveError(result, path);
        return false;
    }
    ownFile_ = path;
    theEventLog << L"Config file saved to disk" << EventLog::EndEntry;
    SetPathName(path);
    SetModifiedFlag(false);
    return true;
}

bool OPCS_Doc::OnNewDocument() {
    if (!CanChangeFiles()) {
        AppMessageBox(L"Cannot change files while OPC Clients are connected to this server.", MB_OK);
        return false;
    }
    DeleteContents();
    SetModifiedFlag(false);
    // A new configuration overwrites the configured file at once (a file this
    // document did not read is kept beside it first).
    SetPathName(theSettings.GetLastUsedFile());
    DoSave(pathName_);
    return true;
}

// Opening, saving and importing as the operator asks, with the standard file
// error texts of a document.
#include "OPCS_Doc.h"

#include <algorithm>

#include "EventLog.h"
#include "MessageBoxes.h"
#include "OPCS_Registry.h"
#include "ReservedNames.h"

namespace {
void ReportSaveError(const ConfigFileResult& result, const std::wstring& path) {
    std::wstring text = L"Failed to save document.";
    if (result.status == ConfigFileStatus::FileError) {
        switch (result.error) {
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: text = L"Destination disk drive is full."; break;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT:
            text = L"Unable to write to " + path + L", it is read-only or opened by someone else.";
            break;
        default: break;
        }
    }
    AppMessageBox(text, MB_OK | MB_ICONEXCLAMATION);
}

void ReportRenames(const std::wstring& path, const std::vector<LoadRename>& renames) {
    if (renames.empty()) return;
    const bool reserved =
        std::any_of(renames.begin(), renames.end(), [](const LoadRename& rename) { return rename.reserved; });
    const bool alike =
        std::any_of(renames.begin(), renames.end(), [](const LoadRename& rename) { return !rename.reserved; });
    std::wstring text = L"The configuration file " + path;
    if (alike) {
        text +=
            L" names more than one device alike, or more than one group or tag alike in one place "
            L"(item IDs do not tell letter case apart)";
    }
    if (alike && reserved) text += L", and";
    if (reserved) {
        text += std::wstring(L" names a device or group \"") + kControlBranchName +
                L"\", a name reserved for the fault control items";
    }
    text += L". So that every tag stays reachable:";
    for (const LoadRename& rename : renames) {
        text += L"\n\"" + rename.from + L"\" is now named \"" + rename.to + L"\"";
    }
    text += L"\nThe original file is kept beside it when the configuration is next saved.";
    AppMessageBox(text, MB_OK | MB_ICONEXCLAMATION);
}
}  // namespace

bool OPCS_Doc::OnOpenDocument(const std::wstring& path, bool reportFailure) {
    if (!CanChangeFiles()) {
        AppMessageBox(kClientsConnectedText, MB_OK);
        return false;
    }
    // The views drop every reference before any object is freed (only this
    // thread frees them), and before the lock: a view update may draw.
    const Configuration::LoadOutcome outcome =
        m_configuration.Load(path, [this] { UpdateAllViews(nullptr, kHintCleared); });
    if (!outcome.loaded) {
        m_openError = outcome.error;
        if (reportFailure) {
            AppMessageBox(outcome.error == ERROR_NOT_ENOUGH_MEMORY ? NotEnoughMemoryText(path)
                                                                   : std::wstring(L"Failed to open document."),
                          MB_OK | MB_ICONEXCLAMATION);
        }
        return false;
    }
    ReportRenames(path, outcome.renames);
    // What could be read is kept and served; the file itself is not touched
    // until the user saves.
    if (outcome.truncated) AppMessageBox(L"Unexpected file format.", MB_OK | MB_ICONEXCLAMATION);
    UpdateAllViews(nullptr, kHintRefreshAll);
    return true;
}

bool OPCS_Doc::DoSave(const std::wstring& path) {
    const Configuration::SaveOutcome outcome = m_configuration.Save(path);
    if (!outcome.keptOriginalNotice.empty()) AppMessageBox(outcome.keptOriginalNotice, MB_OK | MB_ICONEXCLAMATION);
    if (!outcome.saved && !path.empty()) ReportSaveError(outcome.failure, path);
    return outcome.saved;
}

std::wstring OPCS_Doc::NotEnoughMemoryText(const std::wstring& path) {
    return L"There is not enough memory to load " + path + L". The file is left as it is.";
}

bool OPCS_Doc::OnNewDocument(bool saveAtOnce) {
    if (!CanChangeFiles()) {
        AppMessageBox(kClientsConnectedText, MB_OK);
        return false;
    }
    DeleteContents();
    SetModifiedFlag(false);
    // A new configuration overwrites the configured file at once (a file this
    // document did not read is kept beside it first).
    if (!saveAtOnce) {
        SetPathName(std::wstring());
        return true;
    }
    SetPathName(theSettings.GetLastUsedFile());
    DoSave(GetPathName());
    return true;
}

TagImportResult OPCS_Doc::ImportTags(const std::wstring& path) {
    TagImportResult result = m_configuration.ImportTags(path);
    if (result.Succeeded() && result.added + result.updated > 0) UpdateAllViews(nullptr, kHintRefreshAll);
    return result;
}

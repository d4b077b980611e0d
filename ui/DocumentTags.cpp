// Tag import and export between the running configuration and CSV files.
#include "Document.h"

#include "ClientObjects.h"
#include "EventLog.h"
#include "Text.h"
#include "WholeFile.h"

bool OPCS_Doc::ExportTags(const std::wstring& path, std::wstring& error) {
    std::string csv;
    {
        ScopedLock guard(ConfigurationLock());
        csv = ExportTagsCsv(devices_);
    }
    DWORD code = ERROR_SUCCESS;
    if (!WriteFileReplacing(path, std::vector<BYTE>(csv.begin(), csv.end()), code)) {
        error = L"The tags could not be written to " + path + L": " + SystemErrorText(code) + L".";
        theEventLog << L"Tag export failed:" << path << EventLog::EndEntry;
        return false;
    }
    theEventLog << L"Tags exported to:" << path << EventLog::EndEntry;
    return true;
}

TagImportResult OPCS_Doc::ImportTags(const std::wstring& path) {
    TagImportResult result;
    if (!CanChangeFiles()) {
        result.errors.push_back(kClientsConnectedText);
        return result;
    }
    std::vector<BYTE> bytes;
    DWORD code = ERROR_SUCCESS;
    if (!ReadWholeFile(path, bytes, code)) {
        result.errors.push_back(L"The file " + path + L" could not be read: " + SystemErrorText(code) + L".");
        return result;
    }
    {
        ScopedLock guard(ConfigurationLock());
        result = ImportTagsCsv(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), devices_);
    }
    if (!result.Succeeded()) {
        theEventLog << L"Tag import refused:" << path << EventLog::EndEntry;
        return result;
    }
    theEventLog << L"Tags imported from:" << path << EventLog::EndEntry;
    if (result.added + result.updated > 0) {
        UpdateAllViews(nullptr, kHintRefreshAll);
        SetModifiedFlag(true);
    }
    return result;
}

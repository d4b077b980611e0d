#include "OPCS_Registry.h"

#include <cmath>

#include "DocumentTemplate.h"
#include "EventLog.h"
#include "ProgramPaths.h"
#include "RegIO.h"
#include "Text.h"
#include "VersionInfo.h"
#include "resource.h"

OPCS_Registry theSettings;

namespace {
constexpr double kDefaultSplitterPosition = 0.2;
constexpr double kMinSplitterPosition = 0.1;
constexpr double kMaxSplitterPosition = 0.9;

const wchar_t kToolbarActive[] = L"Toolbar Active";
const wchar_t kPollRateSecs[] = L"Poll Rate Secs";
const wchar_t kEventLogFileSize[] = L"Event Log File Size";
const wchar_t kLastSplitterWndVal[] = L"Last Splitter Wnd Val";
const wchar_t kLastWindowLocation[] = L"Last Window Location";
const wchar_t kEventLogFile[] = L"Event Log File";
const wchar_t kEventLogEnabled[] = L"Event Log Enabled";
const wchar_t kTagIconBitmap[] = L"Tag Icon Bitmap";
const wchar_t kLastUsedFile[] = L"Last Used File";
const wchar_t kColumnInfo[] = L"Column Info";
}  // namespace

std::wstring SettingsKeyPath() {
    return L"HKEY_LOCAL_MACHINE\\Software\\" + GetCompanyName() + L"\\" + GetProductName() + L"\\Settings";
}

// The defaults hold from the start, so that objects made before Load (or in
// a process that never loads) see sensible settings.
OPCS_Registry::OPCS_Registry() { SetDefaults(); }

OPCS_Registry::OPCS_Registry(std::wstring keyPath) : keyPath_(std::move(keyPath)) { SetDefaults(); }

OPCS_Registry::~OPCS_Registry() = default;

std::wstring OPCS_Registry::GetKeyPath() const { return keyPath_.empty() ? SettingsKeyPath() : keyPath_; }

void OPCS_Registry::SetDefaults() {
    toolbarActive_ = true;
    pollRate_ = 30;
    eventLogFileSize_ = EventLog::kDefaultMaxSize;
    eventLogEnabled_ = false;
    ResetColumns();
    splitterPosition_ = kDefaultSplitterPosition;
    lastWindowLocation_ = RECT{0, 0, 0, 0};
    const std::wstring directory = GetProgramDirectory();
    lastUsedFile_ = directory + GetDocumentTemplateField(DocumentTemplateField::DocumentName) +
                    GetDocumentTemplateField(DocumentTemplateField::FilterExtension);
    eventLogFile_ = directory + LoadResString(IDS_APP_TITLE) + L" Event Log.txt";
    tagIconBitmap_.clear();
}

void OPCS_Registry::Load() {
    if (loaded_) {
        return;
    }
    loaded_ = true;
    SetDefaults();
    RegIO key;
    const std::wstring path = GetKeyPath();
    if (!key.Open(path, true)) {
        key.Create(path);
        return;
    }
    ReadAll(key);
}

void OPCS_Registry::ReadAll(RegIO& key) {
    key.ReadBool(kToolbarActive, toolbarActive_);
    key.ReadUInt(kPollRateSecs, pollRate_);
    key.ReadUInt(kEventLogFileSize, eventLogFileSize_);
    // Taken as stored, unclamped; only a value that is no number at all is refused.
    double splitter = 0;
    if (key.ReadDouble(kLastSplitterWndVal, splitter) && std::isfinite(splitter)) {
        splitterPosition_ = splitter;
    }
    key.ReadRect(kLastWindowLocation, lastWindowLocation_);
    key.ReadText(kEventLogFile, eventLogFile_);
    key.ReadBool(kEventLogEnabled, eventLogEnabled_);
    key.ReadText(kTagIconBitmap, tagIconBitmap_);
    std::wstring lastUsed;
    if (key.ReadText(kLastUsedFile, lastUsed) && FileExists(lastUsed)) {
        lastUsedFile_ = lastUsed;
    }
    std::wstring columnText;
    if (key.ReadText(kColumnInfo, columnText)) {
        ParseColumnInfo(columnText, columns_);
    }
}

bool OPCS_Registry::Save() {
    RegIO key;
    if (!key.Open(GetKeyPath(), false)) {
        theEventLog << L"Failed to open HKLM Settings registry key to save data" << EventLog::EndEntry;
        return false;
    }
    key.WriteBool(kToolbarActive, toolbarActive_);
    key.WriteUInt(kPollRateSecs, pollRate_);
    key.WriteUInt(kEventLogFileSize, eventLogFileSize_);
    key.WriteDouble(kLastSplitterWndVal, splitterPosition_);
    key.WriteRect(kLastWindowLocation, lastWindowLocation_);
    key.WriteText(kEventLogFile, eventLogFile_);
    key.WriteBool(kEventLogEnabled, eventLogEnabled_);
    key.WriteText(kTagIconBitmap, tagIconBitmap_);
    key.WriteText(kLastUsedFile, lastUsedFile_);
    key.WriteText(kColumnInfo, FormatColumnInfo(columns_));
    return true;
}

std::wstring OPCS_Registry::GetLastUsedFileName() const {
    std::wstring directory;
    std::wstring name;
    SplitPath(lastUsedFile_, directory, name);
    return name;
}

void OPCS_Registry::SetSplitterPosition(double fraction) noexcept {
    if (std::isnan(fraction)) {
        splitterPosition_ = kDefaultSplitterPosition;
    } else if (fraction > kMaxSplitterPosition) {
        splitterPosition_ = kMaxSplitterPosition;
    } else if (fraction < kMinSplitterPosition) {
        splitterPosition_ = kMinSplitterPosition;
    } else {
        splitterPosition_ = fraction;
    }
}

ColumnArray& OPCS_Registry::GetColumns() {
    RepairColumns(columns_);
    return columns_;
}

void OPCS_Registry::ResetColumns() { columns_ = DefaultColumns(); }

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
const wchar_t kAllowFaultControl[] = L"Allow Fault Control";
const wchar_t kClientQualityWrites[] = L"Clients may write qualities and timestamps";
const wchar_t kOfferDa3[] = L"Offer OPC DA 3.0";
const wchar_t kUaEndpointOff[] = L"OPC UA Off";
const wchar_t kUaPort[] = L"OPC UA Port";
constexpr std::uint32_t kDefaultUaPort = 4840;
const wchar_t kHistoryHours[] = L"History Hours";
const wchar_t kHistoryMegabytes[] = L"History Memory MB";
}  // namespace

std::wstring SettingsKeyPath() {
    return L"HKEY_LOCAL_MACHINE\\Software\\" + GetCompanyName() + L"\\" + GetProductName() + L"\\Settings";
}

// The defaults hold from the start, so that objects made before Load (or in
// a process that never loads) see sensible settings.
OPCS_Registry::OPCS_Registry() { SetDefaults(); }

OPCS_Registry::OPCS_Registry(std::wstring keyPath) : m_keyPath(std::move(keyPath)) { SetDefaults(); }

OPCS_Registry::~OPCS_Registry() = default;

std::wstring OPCS_Registry::GetKeyPath() const { return m_keyPath.empty() ? SettingsKeyPath() : m_keyPath; }

void OPCS_Registry::SetDefaults() {
    m_toolbarActive = true;
    m_pollRate = 30;
    m_eventLogFileSize = EventLog::kDefaultMaxSize;
    m_eventLogEnabled = false;
    ResetColumns();
    m_splitterPosition = kDefaultSplitterPosition;
    m_lastWindowLocation = RECT{0, 0, 0, 0};
    const std::wstring directory = GetProgramDirectory();
    m_lastUsedFile = directory + GetDocumentTemplateField(DocumentTemplateField::DocumentName) +
                     GetDocumentTemplateField(DocumentTemplateField::FilterExtension);
    m_eventLogFile = directory + LoadResString(IDS_APP_TITLE) + L" Event Log.txt";
    m_tagIconBitmap.clear();
    m_faultControlAllowed = false;
    m_clientQualityWrites = false;
    m_da3Offered = true;
    m_uaEnabled = true;
    m_uaPort = kDefaultUaPort;
    m_historyHours = kDefaultHistoryHours;
    m_historyMegabytes = kDefaultHistoryMegabytes;
}

void OPCS_Registry::Load() {
    if (m_loaded) {
        return;
    }
    m_loaded = true;
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
    key.ReadBool(kToolbarActive, m_toolbarActive);
    key.ReadUInt(kPollRateSecs, m_pollRate);
    key.ReadUInt(kEventLogFileSize, m_eventLogFileSize);
    // Taken as stored, unclamped; only a value that is no number at all is refused.
    double splitter = 0;
    if (key.ReadDouble(kLastSplitterWndVal, splitter) && std::isfinite(splitter)) {
        m_splitterPosition = splitter;
    }
    key.ReadRect(kLastWindowLocation, m_lastWindowLocation);
    key.ReadText(kEventLogFile, m_eventLogFile);
    key.ReadBool(kEventLogEnabled, m_eventLogEnabled);
    key.ReadText(kTagIconBitmap, m_tagIconBitmap);
    key.ReadBool(kAllowFaultControl, m_faultControlAllowed);
    key.ReadBool(kClientQualityWrites, m_clientQualityWrites);
    key.ReadBool(kOfferDa3, m_da3Offered);
    bool uaOff = false;
    if (key.ReadBool(kUaEndpointOff, uaOff)) m_uaEnabled = !uaOff;
    std::uint32_t port = 0;
    if (key.ReadUInt(kUaPort, port) && port >= 1 && port <= 65535) m_uaPort = port;
    std::uint32_t history = 0;
    if (key.ReadUInt(kHistoryHours, history)) SetHistoryHours(history);
    if (key.ReadUInt(kHistoryMegabytes, history)) SetHistoryMegabytes(history);
    std::wstring lastUsed;
    if (key.ReadText(kLastUsedFile, lastUsed) && FileExists(lastUsed)) {
        m_lastUsedFile = lastUsed;
    }
    std::wstring columnText;
    if (key.ReadText(kColumnInfo, columnText)) {
        ParseColumnInfo(columnText, m_columns);
    }
}

bool OPCS_Registry::Save() {
    RegIO key;
    if (!key.Open(GetKeyPath(), false)) {
        theEventLog << L"Failed to open HKLM Settings registry key to save data" << EventLog::EndEntry;
        return false;
    }
    key.WriteBool(kToolbarActive, m_toolbarActive);
    key.WriteUInt(kPollRateSecs, m_pollRate);
    key.WriteUInt(kEventLogFileSize, m_eventLogFileSize);
    key.WriteDouble(kLastSplitterWndVal, m_splitterPosition);
    key.WriteRect(kLastWindowLocation, m_lastWindowLocation);
    key.WriteText(kEventLogFile, m_eventLogFile);
    key.WriteBool(kEventLogEnabled, m_eventLogEnabled);
    key.WriteText(kTagIconBitmap, m_tagIconBitmap);
    key.WriteText(kLastUsedFile, m_lastUsedFile);
    key.WriteText(kColumnInfo, FormatColumnInfo(m_columns));
    if (m_faultControlAllowed) {
        key.WriteBool(kAllowFaultControl, true);
    } else {
        key.DeleteValue(kAllowFaultControl);
    }
    if (m_clientQualityWrites) {
        key.WriteBool(kClientQualityWrites, true);
    } else {
        key.DeleteValue(kClientQualityWrites);
    }
    // Like the fault control option: stored only where it differs from the default.
    if (!m_da3Offered) {
        key.WriteBool(kOfferDa3, false);
    } else {
        key.DeleteValue(kOfferDa3);
    }
    if (!m_uaEnabled) {
        key.WriteBool(kUaEndpointOff, true);
    } else {
        key.DeleteValue(kUaEndpointOff);
    }
    if (m_uaPort != kDefaultUaPort) {
        key.WriteUInt(kUaPort, m_uaPort);
    } else {
        key.DeleteValue(kUaPort);
    }
    if (m_historyHours != kDefaultHistoryHours) {
        key.WriteUInt(kHistoryHours, m_historyHours);
    } else {
        key.DeleteValue(kHistoryHours);
    }
    if (m_historyMegabytes != kDefaultHistoryMegabytes) {
        key.WriteUInt(kHistoryMegabytes, m_historyMegabytes);
    } else {
        key.DeleteValue(kHistoryMegabytes);
    }
    return true;
}

std::wstring OPCS_Registry::GetLastUsedFileName() const {
    std::wstring directory;
    std::wstring name;
    SplitPath(m_lastUsedFile, directory, name);
    return name;
}

void OPCS_Registry::SetSplitterPosition(double fraction) noexcept {
    if (std::isnan(fraction)) {
        m_splitterPosition = kDefaultSplitterPosition;
    } else if (fraction > kMaxSplitterPosition) {
        m_splitterPosition = kMaxSplitterPosition;
    } else if (fraction < kMinSplitterPosition) {
        m_splitterPosition = kMinSplitterPosition;
    } else {
        m_splitterPosition = fraction;
    }
}

ColumnArray& OPCS_Registry::GetColumns() {
    RepairColumns(m_columns);
    return m_columns;
}

void OPCS_Registry::ResetColumns() { m_columns = DefaultColumns(); }

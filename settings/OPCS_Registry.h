#pragma once
// The program's persistent settings, kept under one registry key
// (HKEY_LOCAL_MACHINE\Software\<company>\<product>\Settings, from the version
// information). Loaded once at start-up; the working copy in memory reaches
// the registry only through Save. Used on the user-interface thread; other
// threads read only the poll rate and the item ID separator.
#include <windows.h>
#include <cstdint>
#include <string>

#include "ColumnInfo.h"

class RegIO;

class OPCS_Registry {
public:
    // The program's own settings key.
    OPCS_Registry();
    // Settings kept under another key (a full registry path).
    explicit OPCS_Registry(std::wstring keyPath);
    virtual ~OPCS_Registry();
    OPCS_Registry(const OPCS_Registry&) = delete;
    OPCS_Registry& operator=(const OPCS_Registry&) = delete;

    // Sets the defaults and reads the key, creating it when missing. Only the
    // first call does anything.
    void Load();
    // Writes all ten values (and each option while it differs from its default); false (and one event log entry) when the key
    // cannot be opened, in which case nothing is written or created.
    bool Save();
    void SetDefaults();
    bool IsLoaded() const noexcept { return m_loaded; }
    // The full registry path of the key.
    std::wstring GetKeyPath() const;

    bool IsEventLogEnabled() const noexcept { return m_eventLogEnabled; }
    void SetEventLogEnabled(bool enabled) noexcept { m_eventLogEnabled = enabled; }
    std::wstring GetEventLogFile() const { return m_eventLogFile; }
    void SetEventLogFile(const std::wstring& path) { m_eventLogFile = path; }
    std::uint32_t GetEventLogFileSize() const noexcept { return m_eventLogFileSize; }
    void SetEventLogFileSize(std::uint32_t bytes) noexcept { m_eventLogFileSize = bytes; }

    // Seconds; the update interval each new device starts with.
    std::uint32_t GetPollRate() const noexcept { return m_pollRate; }
    void SetPollRate(std::uint32_t seconds) noexcept { m_pollRate = seconds; }
    bool IsToolbarActive() const noexcept { return m_toolbarActive; }
    void SetToolbarActive(bool active) noexcept { m_toolbarActive = active; }

    std::wstring GetLastUsedFile() const { return m_lastUsedFile; }
    void SetLastUsedFile(const std::wstring& path) { m_lastUsedFile = path; }
    // The last used file without its directory.
    std::wstring GetLastUsedFileName() const;
    std::wstring GetTagIconBitmap() const { return m_tagIconBitmap; }
    void SetTagIconBitmap(const std::wstring& path) { m_tagIconBitmap = path; }

    // "Allow fault control through OPC": clients may write the control items.
    // Stored only while on, so that the key holds its ten values otherwise.
    bool IsFaultControlAllowed() const noexcept { return m_faultControlAllowed; }
    void SetFaultControlAllowed(bool allowed) noexcept { m_faultControlAllowed = allowed; }

    // "Clients may write qualities and timestamps": DA 3.0 and UA clients may
    // write a tag's quality and timestamp with its value. Stored (as a DWORD
    // of that name) only while on, like fault control.
    bool AreClientQualityWritesAllowed() const noexcept { return m_clientQualityWrites; }
    void SetClientQualityWritesAllowed(bool allowed) noexcept { m_clientQualityWrites = allowed; }
    // "Offer OPC DA 3.0": the server object answers the DA 3.0 interfaces and
    // the class is registered as a DA 3.0 server. On by default; stored (as
    // 0) only while off.
    bool IsDa3Offered() const noexcept { return m_da3Offered; }
    void SetDa3Offered(bool offered) noexcept { m_da3Offered = offered; }

    // The OPC UA endpoint: on or off, and its port (1 to 65535). Each stored
    // only while it differs from the default (on, 4840).
    bool IsUaEndpointEnabled() const noexcept { return m_uaEnabled; }
    void SetUaEndpointEnabled(bool enabled) noexcept { m_uaEnabled = enabled; }
    std::uint32_t GetUaPort() const noexcept { return m_uaPort; }
    void SetUaPort(std::uint32_t port) noexcept {
        if (port >= 1 && port <= 65535) m_uaPort = port;
    }

    // Every historized tag's history: how far back it reaches (1 to
    // kMaxHistoryHours) and the memory all of it may take (at least
    // kMinHistoryMegabytes). Each stored only while it differs from the
    // default (24 hours; 1024 MB in the 64-bit build, 256 MB in the 32-bit one).
    static constexpr std::uint32_t kDefaultHistoryHours = 24;
    static constexpr std::uint32_t kMaxHistoryHours = 24 * 366;
    static constexpr std::uint32_t kDefaultHistoryMegabytes = sizeof(void*) == 8 ? 1024 : 256;
    static constexpr std::uint32_t kMinHistoryMegabytes = 16;
    std::uint32_t GetHistoryHours() const noexcept { return m_historyHours; }
    void SetHistoryHours(std::uint32_t hours) noexcept {
        if (hours >= 1 && hours <= kMaxHistoryHours) m_historyHours = hours;
    }
    std::uint32_t GetHistoryMegabytes() const noexcept { return m_historyMegabytes; }
    void SetHistoryMegabytes(std::uint32_t megabytes) noexcept {
        if (megabytes >= kMinHistoryMegabytes) m_historyMegabytes = megabytes;
    }

    // Fraction of the frame width; setting keeps it within 0.1 to 0.9.
    double GetSplitterPosition() const noexcept { return m_splitterPosition; }
    void SetSplitterPosition(double fraction) noexcept;
    RECT GetLastWindowLocation() const noexcept { return m_lastWindowLocation; }
    void SetLastWindowLocation(const RECT& location) noexcept { m_lastWindowLocation = location; }

    // The columns, repaired and ordered by position (the display order). The
    // tag list changes them in place.
    ColumnArray& GetColumns();
    void ResetColumns();

private:
    void ReadAll(RegIO& key);

    std::wstring m_keyPath;  // empty: built from the version information
    bool m_eventLogEnabled = false;
    bool m_toolbarActive = false;
    bool m_faultControlAllowed = false;
    bool m_clientQualityWrites = false;
    bool m_da3Offered = true;
    bool m_uaEnabled = true;
    std::uint32_t m_uaPort = 4840;
    std::uint32_t m_historyHours = kDefaultHistoryHours;
    std::uint32_t m_historyMegabytes = kDefaultHistoryMegabytes;
    bool m_loaded = false;
    std::uint32_t m_pollRate = 0;
    std::uint32_t m_eventLogFileSize = 0;
    double m_splitterPosition = 0;
    std::wstring m_lastUsedFile;
    std::wstring m_eventLogFile;
    std::wstring m_tagIconBitmap;
    ColumnArray m_columns{};
    RECT m_lastWindowLocation{};
};

// HKEY_LOCAL_MACHINE\Software\<company>\<product>\Settings of the running program.
std::wstring SettingsKeyPath();

extern OPCS_Registry theSettings;

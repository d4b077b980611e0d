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
    // Writes all ten values; false (and one event log entry) when the key
    // cannot be opened, in which case nothing is written or created.
    bool Save();
    void SetDefaults();
    bool IsLoaded() const noexcept { return loaded_; }
    // The full registry path of the key.
    std::wstring GetKeyPath() const;

    bool IsEventLogEnabled() const noexcept { return eventLogEnabled_; }
    void SetEventLogEnabled(bool enabled) noexcept { eventLogEnabled_ = enabled; }
    std::wstring GetEventLogFile() const { return eventLogFile_; }
    void SetEventLogFile(const std::wstring& path) { eventLogFile_ = path; }
    std::uint32_t GetEventLogFileSize() const noexcept { return eventLogFileSize_; }
    void SetEventLogFileSize(std::uint32_t bytes) noexcept { eventLogFileSize_ = bytes; }

    // Seconds; the update interval each new device starts with.
    std::uint32_t GetPollRate() const noexcept { return pollRate_; }
    void SetPollRate(std::uint32_t seconds) noexcept { pollRate_ = seconds; }
    bool IsToolbarActive() const noexcept { return toolbarActive_; }
    void SetToolbarActive(bool active) noexcept { toolbarActive_ = active; }

    std::wstring GetLastUsedFile() const { return lastUsedFile_; }
    void SetLastUsedFile(const std::wstring& path) { lastUsedFile_ = path; }
    // The last used file without its directory.
    std::wstring GetLastUsedFileName() const;
    std::wstring GetTagIconBitmap() const { return tagIconBitmap_; }
    void SetTagIconBitmap(const std::wstring& path) { tagIconBitmap_ = path; }

    // Fraction of the frame width; setting keeps it within 0.1 to 0.9.
    double GetSplitterPosition() const noexcept { return splitterPosition_; }
    void SetSplitterPosition(double fraction) noexcept;
    RECT GetLastWindowLocation() const noexcept { return lastWindowLocation_; }
    void SetLastWindowLocation(const RECT& location) noexcept { lastWindowLocation_ = location; }

    // The columns, repaired and ordered by position (the display order). The
    // tag list changes them in place.
    ColumnArray& GetColumns();
    void ResetColumns();

private:
    void ReadAll(RegIO& key);

    std::wstring keyPath_;  // empty: built from the version information
    bool eventLogEnabled_ = false;
    bool toolbarActive_ = false;
    bool loaded_ = false;
    std::uint32_t pollRate_ = 0;
    std::uint32_t eventLogFileSize_ = 0;
    double splitterPosition_ = 0;
    std::wstring lastUsedFile_;
    std::wstring eventLogFile_;
    std::wstring tagIconBitmap_;
    ColumnArray columns_{};
    RECT lastWindowLocation_{};
};

// HKEY_LOCAL_MACHINE\Software\<company>\<product>\Settings of the running program.
std::wstring SettingsKeyPath();

extern OPCS_Registry theSettings;

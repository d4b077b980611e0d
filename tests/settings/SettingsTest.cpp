#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "EventLog.h"
#include "EventLogStartup.h"
#include "OPCS_Registry.h"
#include "ProgramPaths.h"
#include "ScratchKey.h"
#include "TempFolder.h"

namespace {
const wchar_t* const kTenValues[] = {
    L"Toolbar Active", L"Poll Rate Secs",    L"Event Log File Size", L"Last Splitter Wnd Val", L"Last Window Location",
    L"Event Log File", L"Event Log Enabled", L"Tag Icon Bitmap",     L"Last Used File",        L"Column Info"};

bool SameRect(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

void SetDouble(const ScratchKey& key, const wchar_t* name, double value) {
    key.SetRaw(name, REG_BINARY, &value, sizeof value);
}

}  // namespace

// The first start makes the key empty; a save writes every setting in the
// type an earlier version stored it in, and a later start reads it back.
TEST(SettingsTest, AFirstStartCreatesTheKeyAndEverySettingSurvivesASave) {
    EXPECT_EQ(L"HKEY_LOCAL_MACHINE\\Software\\Zelkor\\Tovi Explorer\\Settings", theSettings.GetKeyPath());
    ScratchKey parent(HKEY_LOCAL_MACHINE);
    const std::wstring below = L"Zelkor\\Tovi Explorer\\Settings";
    TempFolder folder;
    const std::wstring configFile = folder.File(L"Plant.tvf");
    CloseHandle(CreateFileW(configFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    {
        OPCS_Registry settings(parent.Path() + L"\\" + below);
        settings.Load();
        EXPECT_TRUE(settings.IsLoaded());
        EXPECT_TRUE(parent.Exists(below));
        EXPECT_EQ(0u, parent.ValueCount(below));
        settings.SetToolbarActive(false);
        settings.SetPollRate(45);
        settings.SetEventLogFileSize(2 * 1048576);
        settings.SetSplitterPosition(0.35);
        settings.SetLastWindowLocation(RECT{-8, 10, 1200, 900});
        settings.SetEventLogFile(L"D:\\Logs\\Tovi log.txt");
        settings.SetEventLogEnabled(true);
        settings.SetTagIconBitmap(L"D:\\Icons\\tags.bmp");
        settings.SetLastUsedFile(configFile);
        ColumnArray& columns = settings.GetColumns();
        columns[1].name = L"Current Value";
        columns[1].width = 99;
        std::swap(columns[0].position, columns[2].position);
        ASSERT_TRUE(settings.Save());
    }
    EXPECT_EQ(10u, parent.ValueCount(below));
    const DWORD types[] = {REG_DWORD, REG_DWORD, REG_DWORD, REG_BINARY, REG_BINARY,
                           REG_SZ,    REG_DWORD, REG_SZ,    REG_SZ,     REG_SZ};
    const DWORD sizes[] = {4, 4, 4, 8, 16, 0, 4, 0, 0, 0};
    for (size_t i = 0; i < 10; ++i) {
        DWORD type = 0;
        std::vector<BYTE> data;
        ASSERT_TRUE(parent.GetRaw(kTenValues[i], type, data, below)) << i;
        EXPECT_EQ(types[i], type) << i;
        if (sizes[i] != 0) {
            EXPECT_EQ(sizes[i], data.size()) << i;
        }
    }

    OPCS_Registry reloaded(parent.Path() + L"\\" + below);
    reloaded.Load();
    EXPECT_FALSE(reloaded.IsToolbarActive());
    EXPECT_EQ(45u, reloaded.GetPollRate());
    EXPECT_EQ(2097152u, reloaded.GetEventLogFileSize());
    EXPECT_EQ(0.35, reloaded.GetSplitterPosition());
    EXPECT_TRUE(SameRect(RECT{-8, 10, 1200, 900}, reloaded.GetLastWindowLocation()));
    EXPECT_EQ(L"D:\\Logs\\Tovi log.txt", reloaded.GetEventLogFile());
    EXPECT_TRUE(reloaded.IsEventLogEnabled());
    EXPECT_EQ(L"D:\\Icons\\tags.bmp", reloaded.GetTagIconBitmap());
    EXPECT_EQ(configFile, reloaded.GetLastUsedFile());
    EXPECT_EQ(L"Plant.tvf", reloaded.GetLastUsedFileName());
    const ColumnArray& columns = reloaded.GetColumns();
    EXPECT_EQ(L"Quality", columns[0].name);
    EXPECT_EQ(L"Current Value", columns[1].name);
    EXPECT_EQ(99u, columns[1].width);
    EXPECT_EQ(L"Name", columns[2].name);
    EXPECT_TRUE(columns[2].sortColumn) << "the sort column moved with its column";
}

TEST(SettingsTest, LoadRunsOnce) {
    ScratchKey key(HKEY_LOCAL_MACHINE);
    key.SetDword(L"Poll Rate Secs", 10);
    OPCS_Registry settings(key.Path());
    settings.Load();
    EXPECT_EQ(10u, settings.GetPollRate());
    key.SetDword(L"Poll Rate Secs", 20);
    settings.SetPollRate(5);
    settings.Load();
    EXPECT_EQ(5u, settings.GetPollRate());
}

TEST(SettingsTest, HandWrittenValuesOfTheWrongKindLeaveTheDefaults) {
    ScratchKey key(HKEY_LOCAL_MACHINE);
    key.SetText(L"Toolbar Active", L"0");
    key.SetText(L"Event Log Enabled", L"1");
    key.SetRaw(L"Poll Rate Secs", REG_BINARY, "\x05\x00\x00\x00", 4);
    key.SetText(L"Event Log File Size", L"2048");
    key.SetDword(L"Last Splitter Wnd Val", 1);
    key.SetRaw(L"Last Window Location", REG_BINARY, "\x01\x00\x00\x00\x02\x00\x00\x00\x03\x00\x00\x00", 12);
    key.SetDword(L"Event Log File", 3);
    key.SetDword(L"Tag Icon Bitmap", 4);
    key.SetText(L"Last Used File", L"C:\\Nowhere\\Missing.tvf");
    key.SetDword(L"Column Info", 5);

    OPCS_Registry settings(key.Path());
    settings.Load();
    EXPECT_TRUE(settings.IsToolbarActive());
    EXPECT_FALSE(settings.IsEventLogEnabled());
    EXPECT_EQ(30u, settings.GetPollRate());
    EXPECT_EQ(1048576u, settings.GetEventLogFileSize());
    EXPECT_EQ(0.2, settings.GetSplitterPosition());
    EXPECT_TRUE(SameRect(RECT{0, 0, 0, 0}, settings.GetLastWindowLocation()));
    EXPECT_EQ(GetProgramDirectory() + L"Tovi Explorer Event Log.txt", settings.GetEventLogFile());
    EXPECT_EQ(L"", settings.GetTagIconBitmap());
    EXPECT_EQ(GetProgramDirectory() + L"ToviConfig.tvf", settings.GetLastUsedFile());
    ColumnArray columns = DefaultColumns();
    RepairColumns(columns);
    EXPECT_EQ(columns, settings.GetColumns());
}

TEST(SettingsTest, TheSplitterIsClampedWhenSetButNotWhenLoaded) {
    ScratchKey key(HKEY_LOCAL_MACHINE);
    SetDouble(key, L"Last Splitter Wnd Val", 0.05);
    OPCS_Registry settings(key.Path());
    settings.Load();
    EXPECT_EQ(0.05, settings.GetSplitterPosition());
    settings.SetSplitterPosition(0.05);
    EXPECT_EQ(0.1, settings.GetSplitterPosition());
    settings.SetSplitterPosition(1.5);
    EXPECT_EQ(0.9, settings.GetSplitterPosition());
    settings.SetSplitterPosition(0.5);
    EXPECT_EQ(0.5, settings.GetSplitterPosition());
    settings.SetSplitterPosition(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(0.2, settings.GetSplitterPosition());

    SetDouble(key, L"Last Splitter Wnd Val", std::numeric_limits<double>::quiet_NaN());
    OPCS_Registry notANumber(key.Path());
    notANumber.Load();
    EXPECT_EQ(0.2, notANumber.GetSplitterPosition());
}

TEST(SettingsTest, SavingToAMissingKeyLogsOnceAndCreatesNothing) {
    ScratchKey key(HKEY_LOCAL_MACHINE);
    TempFolder folder;
    const std::wstring logFile = folder.File(L"log.txt");
    ASSERT_TRUE(theEventLog.Open(logFile));
    OPCS_Registry settings(key.Path() + L"\\Missing");
    EXPECT_FALSE(settings.Save());
    theEventLog.Close();
    EXPECT_FALSE(key.Exists(L"Missing"));
    const std::string log = ReadFileBytes(logFile);
    const std::string entry = "\r\nFailed to open HKLM Settings registry key to save data \r\n\r\n";
    const size_t at = log.find(entry);
    ASSERT_NE(std::string::npos, at) << log;
    EXPECT_EQ(std::string::npos, log.find(entry, at + 1));
}

TEST(SettingsTest, TheEventLogOpensAsTheSettingsSay) {
    ScratchKey key(HKEY_LOCAL_MACHINE);
    TempFolder folder;
    OPCS_Registry settings(key.Path());
    settings.Load();
    settings.SetEventLogFile(folder.File(L"events.txt"));
    EventLog disabled;
    EXPECT_FALSE(OpenEventLogFromSettings(disabled, settings));
    EXPECT_FALSE(FileExists(folder.File(L"events.txt")));

    settings.SetEventLogEnabled(true);
    settings.SetEventLogFileSize(1023);
    EventLog small;
    ASSERT_TRUE(OpenEventLogFromSettings(small, settings));
    EXPECT_EQ(1048576u, small.GetMaxSize());
    small.Close();

    settings.SetEventLogFileSize(4096);
    EventLog log;
    ASSERT_TRUE(OpenEventLogFromSettings(log, settings));
    EXPECT_EQ(4096u, log.GetMaxSize());
    log.Close();
    const std::string bytes = ReadFileBytes(folder.File(L"events.txt"));
    EXPECT_NE(std::string::npos, bytes.find("\r\nLog started or reset - Max Size(bytes): 1048576 \r\n\r\n")) << bytes;
}

// The history's limits stay out of the key while they are the defaults, so
// that a key written before them reads the same.
TEST(SettingsTest, TheHistoryLimitsAreStoredOnlyWhileTheyDifferFromTheDefaults) {
    ScratchKey parent(HKEY_LOCAL_MACHINE);
    const std::wstring path = parent.Path() + L"\\History";
    struct Case {
        std::uint32_t hours, megabytes;  // as set
        std::uint32_t keptHours, keptMegabytes;
        size_t values;  // the ten, and the limits that differ
    };
    const std::uint32_t hours = OPCS_Registry::kDefaultHistoryHours;
    const std::uint32_t megabytes = OPCS_Registry::kDefaultHistoryMegabytes;
    const Case cases[] = {
        {48, 300, 48, 300, 12},
        {hours, 300, hours, 300, 11},
        {0, 8, hours, megabytes, 10},  // refused: the defaults stand
        {OPCS_Registry::kMaxHistoryHours + 1, megabytes, hours, megabytes, 10},
    };
    for (const Case& c : cases) {
        {
            OPCS_Registry settings(path);
            settings.Load();
            settings.SetHistoryHours(hours);
            settings.SetHistoryMegabytes(megabytes);
            settings.SetHistoryHours(c.hours);
            settings.SetHistoryMegabytes(c.megabytes);
            ASSERT_TRUE(settings.Save());
        }
        EXPECT_EQ(c.values, parent.ValueCount(L"History")) << c.hours;
        OPCS_Registry reloaded(path);
        reloaded.Load();
        EXPECT_EQ(c.keptHours, reloaded.GetHistoryHours()) << c.hours;
        EXPECT_EQ(c.keptMegabytes, reloaded.GetHistoryMegabytes()) << c.hours;
    }
}

// "Clients may write qualities and timestamps": off by default, a DWORD of
// exactly that name while on, gone again once off; a hand-written 0 is off.
TEST(SettingsTest, TheQualityWriteOptionIsADwordOfItsNameKeptOnlyWhileOn) {
    const wchar_t kName[] = L"Clients may write qualities and timestamps";
    ScratchKey key(HKEY_LOCAL_MACHINE);
    for (const bool on : {true, false}) {
        {
            OPCS_Registry settings(key.Path());
            settings.Load();
            EXPECT_EQ(!on, settings.AreClientQualityWritesAllowed()) << "as the last save left it";
            settings.SetClientQualityWritesAllowed(on);
            ASSERT_TRUE(settings.Save());
        }
        DWORD type = 0;
        std::vector<BYTE> data;
        EXPECT_EQ(on, key.GetRaw(kName, type, data));
        EXPECT_EQ(on ? 11u : 10u, key.ValueCount());
        if (on) {
            EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
            EXPECT_EQ((std::vector<BYTE>{1, 0, 0, 0}), data);
        }
        OPCS_Registry reloaded(key.Path());
        reloaded.Load();
        EXPECT_EQ(on, reloaded.AreClientQualityWritesAllowed());
    }
    for (const DWORD stored : {0u, 1u}) {
        key.SetDword(kName, stored);
        OPCS_Registry settings(key.Path());
        settings.Load();
        EXPECT_EQ(stored != 0, settings.AreClientQualityWritesAllowed());
        settings.SetDefaults();
        EXPECT_FALSE(settings.AreClientQualityWritesAllowed());
    }
}

TEST(SettingsTest, OfferingDa3IsTheDefaultAndOnlyItsRefusalIsStored) {
    ScratchKey parent(HKEY_LOCAL_MACHINE);
    const std::wstring path = parent.Path() + L"\\Da3";
    for (bool offered : {false, true, false}) {
        {
            OPCS_Registry settings(path);
            settings.Load();
            EXPECT_TRUE(offered || settings.IsDa3Offered()) << "the default, or the last save's";
            settings.SetDa3Offered(offered);
            ASSERT_TRUE(settings.Save());
        }
        EXPECT_EQ(parent.ValueCount(L"Da3"), offered ? 10u : 11u);
        DWORD type = 0;
        std::vector<BYTE> data;
        EXPECT_EQ(parent.GetRaw(L"Offer OPC DA 3.0", type, data, L"Da3"), !offered);
        if (!offered) {
            EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
            EXPECT_EQ(data, (std::vector<BYTE>{0, 0, 0, 0}));
        }
        OPCS_Registry reloaded(path);
        reloaded.Load();
        EXPECT_EQ(reloaded.IsDa3Offered(), offered);
    }
    // A value written by hand as 1 offers it.
    parent.SetDword(L"Offer OPC DA 3.0", 1, L"Da3");
    OPCS_Registry byHand(path);
    byHand.Load();
    EXPECT_TRUE(byHand.IsDa3Offered());
}

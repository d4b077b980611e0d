#include <gtest/gtest.h>

#include "CommandLineInfo.h"
#include "ScriptRegistrar.h"

TEST(RegistrationSwitchScan, KeywordsInAnyCaseAfterEitherSeparator) {
    EXPECT_EQ(ScanRegistrationSwitch(L"/regserver"), RegistrationSwitch::Register);
    EXPECT_EQ(ScanRegistrationSwitch(L"-REGSERVER"), RegistrationSwitch::Register);
    EXPECT_EQ(ScanRegistrationSwitch(L"RegServer"), RegistrationSwitch::Register);
    EXPECT_EQ(ScanRegistrationSwitch(L"/UnRegServer"), RegistrationSwitch::Unregister);
    EXPECT_EQ(ScanRegistrationSwitch(L"-unregserver"), RegistrationSwitch::Unregister);
    EXPECT_EQ(ScanRegistrationSwitch(L"/?"), RegistrationSwitch::Help);
    EXPECT_EQ(ScanRegistrationSwitch(L"  -?  "), RegistrationSwitch::Help);
}

TEST(RegistrationSwitchScan, FirstMatchDecides) {
    EXPECT_EQ(ScanRegistrationSwitch(L"/RegServer /UnRegServer"), RegistrationSwitch::Register);
    EXPECT_EQ(ScanRegistrationSwitch(L"/UnregServer -RegServer"), RegistrationSwitch::Unregister);
    EXPECT_EQ(ScanRegistrationSwitch(L"-Embedding /? /RegServer"), RegistrationSwitch::Help);
    // Tokens are cut at every separator, so glued switches are found too.
    EXPECT_EQ(ScanRegistrationSwitch(L"-Embedding-UnregServer"), RegistrationSwitch::Unregister);
}

TEST(RegistrationSwitchScan, OtherTokensAreIgnored) {
    EXPECT_EQ(ScanRegistrationSwitch(L""), RegistrationSwitch::None);
    EXPECT_EQ(ScanRegistrationSwitch(L"-Embedding"), RegistrationSwitch::None);
    EXPECT_EQ(ScanRegistrationSwitch(L"/RegServerX /Register /Unregister"), RegistrationSwitch::None);
    EXPECT_EQ(ScanRegistrationSwitch(L"C:\\Plant\\Line.tvf"), RegistrationSwitch::None);
    EXPECT_EQ(ScanRegistrationSwitch(L"/??"), RegistrationSwitch::None);
}

TEST(RegistrationSwitchScan, HelpTextIsQuotedThreeLines) {
    EXPECT_EQ(RegistrationHelpText(),
              L"\"The OPC Server takes the following parameters:\n"
              L"/RegServer - Register the server\n"
              L"/UnRegServer -  Unregister the server\n\"");
}

TEST(CloseSwitchScan, SwitchInAnyCaseWithAnOptionalNumberOfSeconds) {
    const struct {
        const wchar_t* line;
        bool present;
        unsigned seconds;
    } cases[] = {
        {L"/Close", true, 30},
        {L"-CLOSE 5", true, 5},
        {L"/close 0", true, 0},
        {L"/Close 99999", true, 3600},
        {L"/Close 1234567", true, 30},  // too long for seconds: not taken
        {L"/Close Plant.tvf", true, 30},
        {L"Plant.tvf /Close 12", true, 12},
        {L"/Close -Embedding", true, 30},
        {L"Close 5", false, 30},  // a file name, not a switch
        {L"/Closer", false, 30},
        {L"\"C:\\Close\\Line.tvf\"", false, 30},
        {L"", false, 30},
    };
    for (const auto& c : cases) {
        const CloseSwitch scanned = ScanCloseSwitch(c.line);
        EXPECT_EQ(scanned.present, c.present) << testing::PrintToString(std::wstring(c.line));
        EXPECT_EQ(scanned.seconds, c.seconds) << testing::PrintToString(std::wstring(c.line));
    }
}

TEST(CommandLineParse, ComSwitchesInAnyCaseTurnTheSplashOff) {
    const CommandLineInfo plain = ParseCommandLine(L"");
    EXPECT_FALSE(plain.StartedByCom());
    EXPECT_TRUE(plain.showSplash);
    EXPECT_TRUE(plain.fileName.empty());

    const CommandLineInfo embedded = ParseCommandLine(L"-Embedding");
    EXPECT_TRUE(embedded.runEmbedded);
    EXPECT_FALSE(embedded.runAutomated);
    EXPECT_TRUE(embedded.StartedByCom());
    EXPECT_FALSE(embedded.showSplash);

    const CommandLineInfo automated = ParseCommandLine(L"/AUTOMATION");
    EXPECT_TRUE(automated.runAutomated);
    EXPECT_TRUE(automated.StartedByCom());
    EXPECT_FALSE(automated.showSplash);

    EXPECT_FALSE(ParseCommandLine(L"Embedding").StartedByCom());  // a file name, not a switch
}

TEST(CommandLineParse, FirstPlainArgumentIsTheFileQuotesGroup) {
    const CommandLineInfo info = ParseCommandLine(L"\"C:\\Plant Files\\Line 1.tvf\" -Embedding Other.tvf");
    EXPECT_EQ(info.fileName, L"C:\\Plant Files\\Line 1.tvf");
    EXPECT_TRUE(info.runEmbedded);
    EXPECT_EQ(ParseCommandLine(L"/x Line.tvf").fileName, L"Line.tvf");
}

TEST(ModuleReplacement, ShortFormHasNoBlanks) {
    wchar_t temp[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
    const std::wstring folder = std::wstring(temp) + L"Tovi Module " + std::to_wstring(GetCurrentProcessId());
    const std::wstring file = folder + L"\\Tovi Explorer.exe";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);

    const std::wstring replacement = ScriptRegistrar::ModuleReplacement(file);
    EXPECT_EQ(replacement.find(L' '), std::wstring::npos);
    wchar_t longForm[MAX_PATH];
    EXPECT_NE(GetLongPathNameW(replacement.c_str(), longForm, MAX_PATH), 0u);
    EXPECT_EQ(CompareStringOrdinal(longForm, -1, file.c_str(), -1, TRUE), CSTR_EQUAL);

    DeleteFileW(file.c_str());
    RemoveDirectoryW(folder.c_str());
    // A path without a short form keeps its blanks, inside quotes.
    EXPECT_EQ(ScriptRegistrar::ModuleReplacement(L"C:\\no such folder\\x.exe"), L"\"C:\\no such folder\\x.exe\"");
}

TEST(TagFileSwitchScan, ActionFileAndConfigurationInAnyOrderOrAReasonInWords) {
    const TagFileSwitch none = ScanTagFileSwitch(L"-Embedding Line.tvf");
    EXPECT_EQ(none.action, TagFileSwitch::Action::None);
    EXPECT_TRUE(none.error.empty());

    const TagFileSwitch exported = ScanTagFileSwitch(L"-EXPORT \"C:\\Out Files\\t s.csv\" \"C:\\Plant\\Line 1.tvf\"");
    EXPECT_EQ(exported.action, TagFileSwitch::Action::Export);
    EXPECT_EQ(exported.csvFile, L"C:\\Out Files\\t s.csv");
    EXPECT_EQ(exported.configuration, L"C:\\Plant\\Line 1.tvf");

    // The file after the switch is taken whatever it looks like, so a name
    // holding a registration word stays a file name.
    const TagFileSwitch imported = ScanTagFileSwitch(L"/import C:\\RegServer.csv");
    EXPECT_EQ(imported.action, TagFileSwitch::Action::Import);
    EXPECT_EQ(imported.csvFile, L"C:\\RegServer.csv");
    EXPECT_TRUE(imported.configuration.empty());

    EXPECT_EQ(ScanTagFileSwitch(L"Line.tvf /Import").error,
              L"The /Import switch needs the name of a CSV file after it.");
    EXPECT_FALSE(ScanTagFileSwitch(L"/Import a.csv /Export b.csv").error.empty());
    EXPECT_EQ(ScanTagFileSwitch(L"/Importer a.csv").action, TagFileSwitch::Action::None);
}

TEST(ReplaySwitchScan, FileSpeedAndLoopBesideTheConfigurationOrAReasonInWords) {
    const struct {
        const wchar_t* line;
        const wchar_t* file;
        double speed;
        bool loop;
        const wchar_t* error;  // the start of it; empty when none
        const wchar_t* configuration;
    } cases[] = {
        {L"Line.tvf /Replay \"C:\\Rec Files\\day.csv\" /SPEED 2.5 -loop", L"C:\\Rec Files\\day.csv", 2.5, true, L"",
         L"Line.tvf"},
        {L"-replay Line.tvf", L"Line.tvf", 1, false, L"", L""},
        {L"/Speed 4 /Replay r.csv Plant.tvf", L"r.csv", 4, false, L"", L"Plant.tvf"},
        {L"/Replay", L"", 1, false, L"The /Replay switch needs the name of a CSV file", L""},
        {L"/Replay r.csv /Speed 0", L"r.csv", 0, false, L"The /Speed switch needs a positive number", L""},
        {L"/Replay r.csv /Speed fast", L"r.csv", 1, false, L"The /Speed switch needs a positive number", L""},
        {L"/Replay r.csv /Speed", L"r.csv", 1, false, L"The /Speed switch needs a positive number", L""},
        {L"Plant.tvf /Loop", L"", 1, true, L"/Speed and /Loop go with /Replay FILE.", L"Plant.tvf"},
    };
    for (const auto& c : cases) {
        const ReplaySwitch scanned = ScanReplaySwitch(c.line);
        const std::string line = testing::PrintToString(std::wstring(c.line));
        EXPECT_EQ(scanned.present, *c.file != 0 || std::wstring(c.line).find(L"/Replay") != std::wstring::npos) << line;
        EXPECT_EQ(scanned.file, c.file) << line;
        if (!*c.error) {
            EXPECT_EQ(scanned.speed, c.speed) << line;
        }
        EXPECT_EQ(scanned.loop, c.loop) << line;
        EXPECT_EQ(0u, scanned.error.rfind(c.error, 0)) << line << testing::PrintToString(scanned.error);
        EXPECT_EQ(*c.error == 0, scanned.error.empty()) << line;
        EXPECT_EQ(ParseCommandLine(c.line).fileName, c.configuration) << line;
    }
}

TEST(ReplaySwitchScan, IntoHistoryOnlyWithReplayAndNeitherSpeedNorLoop) {
    const struct {
        const wchar_t* line;
        bool intoHistory;
        const wchar_t* error;  // empty when none
    } cases[] = {
        {L"Plant.tvf /Replay day.csv -intohistory", true, L""},
        {L"/IntoHistory /Serve /Replay day.csv", true, L""},
        {L"/Replay day.csv", false, L""},
        {L"Plant.tvf /IntoHistory", true, L"/IntoHistory goes with /Replay FILE."},
        {L"/Replay day.csv /IntoHistory /Speed 2", true,
         L"/IntoHistory loads the file at once, without /Speed or /Loop."},
        {L"/Replay day.csv /Loop /IntoHistory", true, L"/IntoHistory loads the file at once, without /Speed or /Loop."},
    };
    for (const auto& c : cases) {
        const ReplaySwitch scanned = ScanReplaySwitch(c.line);
        EXPECT_EQ(scanned.intoHistory, c.intoHistory) << testing::PrintToString(std::wstring(c.line));
        EXPECT_EQ(scanned.error, c.error) << testing::PrintToString(std::wstring(c.line));
    }
    // The switch takes no word after it: the configuration is still found.
    EXPECT_EQ(ParseCommandLine(L"/Replay day.csv /IntoHistory Plant.tvf").fileName, L"Plant.tvf");
}

TEST(UaSecuritySwitchScan, EachFormOrAReason) {
    using Action = UaSecuritySwitch::Action;
    const struct {
        const wchar_t* line;
        Action action;
        const wchar_t* subject;
        bool readWrite, on, error;
    } cases[] = {
        {L"/UaUser add op readwrite", Action::AddUser, L"op", true, false, false},
        {L"-uauser ADD \"Line Op\" Read", Action::AddUser, L"Line Op", false, false, false},
        {L"/UaUser remove op", Action::RemoveUser, L"op", false, false, false},
        {L"/UaTrust \"C:\\certs\\hmi.der\"", Action::Trust, L"C:\\certs\\hmi.der", false, false, false},
        {L"/UaRemote ON", Action::Remote, L"", false, true, false},
        {L"/UaRemote off", Action::Remote, L"", false, false, false},
        {L"/UaAllow unsecured on", Action::AllowUnsecured, L"", false, true, false},
        {L"/UaAllow Anonymous off", Action::AllowAnonymous, L"", false, false, false},
        {L"Plant.tvf /Serve", Action::None, L"", false, false, false},
        // Wrong forms say why and change nothing.
        {L"/UaUser add op", Action::None, L"", false, false, true},
        {L"/UaUser add op write", Action::None, L"", false, false, true},
        {L"/UaUser drop op", Action::None, L"", false, false, true},
        {L"/UaUser remove", Action::None, L"", false, false, true},
        {L"/UaTrust", Action::None, L"", false, false, true},
        {L"/UaRemote yes", Action::None, L"", false, false, true},
        {L"/UaAllow everything on", Action::None, L"", false, false, true},
        {L"/UaAllow anonymous", Action::None, L"", false, false, true},
        {L"/UaRemote on /UaAllow anonymous on", Action::Remote, L"", false, true, true},
    };
    for (const auto& c : cases) {
        const UaSecuritySwitch scanned = ScanUaSecuritySwitch(c.line);
        const std::string line = testing::PrintToString(std::wstring(c.line));
        EXPECT_EQ(scanned.error.empty(), !c.error) << line;
        if (c.error) continue;
        EXPECT_EQ(scanned.action, c.action) << line;
        EXPECT_EQ(scanned.subject, c.subject) << line;
        EXPECT_EQ(scanned.readWrite, c.readWrite) << line;
        EXPECT_EQ(scanned.on, c.on) << line;
    }
}

TEST(Da3SwitchScan, OnOrOffInAnyCaseBesideTheConfigurationOrAReason) {
    const struct {
        const wchar_t* line;
        bool present;
        bool offered;
        bool error;
        const wchar_t* configuration;
    } cases[] = {
        {L"Plant.tvf /Da3 off", true, false, false, L"Plant.tvf"},
        {L"-DA3 OFF Plant.tvf", true, false, false, L"Plant.tvf"},
        {L"/da3 On -Embedding", true, true, false, L""},
        {L"/Da3 off /Da3 on", true, true, false, L""},
        {L"Plant.tvf", false, true, false, L"Plant.tvf"},
        {L"/Da3 maybe Plant.tvf", true, true, true, L"Plant.tvf"},
        {L"/Da3", true, true, true, L""},
        {L"/Da30 off", false, true, false, L"off"},
    };
    for (const auto& c : cases) {
        const Da3Switch scanned = ScanDa3Switch(c.line);
        const std::string line = testing::PrintToString(std::wstring(c.line));
        EXPECT_EQ(scanned.present, c.present) << line;
        EXPECT_EQ(scanned.offered, c.offered) << line;
        EXPECT_EQ(scanned.error.empty(), !c.error) << line;
        EXPECT_EQ(ParseCommandLine(c.line).fileName, c.configuration) << line;
    }
}

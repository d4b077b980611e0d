// Shows every dialog of the editor side by side for the given milliseconds,
// then the clients window alone (with made-up clients) for as long, then the
// OPC UA certificates dialog alone (over a PKI folder of made-up clients), then
// the OPC UA users dialog and one user's for as long, then the alarms window
// (over made-up alarms) with the alarm settings and comment dialogs, then the
// trend window over simulated tags recording live, then the splash window
// alone until it closes itself, so that the real
// display can be captured (scripts/dialog-shots.sh). Under Wine, PrintWindow
// draws a dialog's background only, hence the capture of the screen.
// Run by hand, never as a test.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "AlarmCommentDialog.h"
#include "AlarmSettingsDialog.h"
#include "AlarmWindow.h"
#include "CAboutDlg.h"
#include "OPCS_DlgClients.h"
#include "Tovi_DlgGroup.h"
#include "Tovi_DlgOptions.h"
#include "FindTagsDialog.h"
#include "ForceQualityDialog.h"
#include "ForcedQuality.h"
#include "OpcConstants.h"
#include "Tovi_DlgTag.h"
#include "TrendWindow.h"
#include "OPCS_DlgWriteToTag.h"
#include "Configuration.h"
#include "ReplayDialog.h"
#include "ReplayProgressWindow.h"
#include "ValueReplay.h"
#include "MessageBoxes.h"
#include "OPCS_Registry.h"
#include "SimulatedSignal.h"
#include "CSplashWnd.h"
#include "ToviDevice.h"
#include "ToviTag.h"
#include "UaCertificateMaker.h"
#include "UaCertificatesDialog.h"
#include "UaUserStore.h"
#include "UaUsersDialog.h"
#include "resource.h"

namespace {
void Pump(DWORD milliseconds) {
    const ULONGLONG end = GetTickCount64() + milliseconds;
    while (GetTickCount64() < end) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        Sleep(10);
    }
}

FILETIME MinutesAgo(int minutes) {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER value{};
    value.LowPart = now.dwLowDateTime;
    value.HighPart = now.dwHighDateTime;
    value.QuadPart -= static_cast<ULONGLONG>(minutes) * 60 * 10000000ULL;
    return {value.LowPart, value.HighPart};
}

std::vector<ClientRow> MadeUpClients() {
    return {{L"Boiler house HMI", 3, 120, 0, 3, MinutesAgo(185), L"IOPCAsyncIO2::Write", MinutesAgo(2), L"", L"2.05a"},
            {L"", 1, 40, 1, 0, MinutesAgo(64), L"IOPCSyncIO::Read", MinutesAgo(0), L"", L"1.0a"},
            {L"Historian (night shift)", 12, 2400, 0, 12, MinutesAgo(1500), L"IOPCItemProperties::GetItemProperties",
             MinutesAgo(31), L"", L"3.0"},
            {L"Line dashboard", 2, 64, 0, 0, MinutesAgo(12), L"Service call", MinutesAgo(0),
             L"OPC UA, Basic256Sha256 SignAndEncrypt, Anonymous", L""},
            {L"Gateway", 0, 0, 0, 0, MinutesAgo(0), L"", {}, L"", L""}};
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(std::filesystem::path(path), std::ios::binary);
    out << bytes;
    return static_cast<bool>(out);
}

// A PKI folder with two trusted clients, one rejected, and a server
// certificate that lacks an address of this computer.
std::wstring MadeUpPkiFolder(const std::wstring& temp) {
    const std::wstring folder = temp + L"snapshot-pki";
    std::filesystem::remove_all(std::filesystem::path(folder));
    const UaPkiStore store(folder);
    std::wstring error;
    store.Prepare(error);
    std::filesystem::create_directories(std::filesystem::path(folder + L"\\own\\private"));
    const struct {
        const char* subject;
        const char* uri;
        std::wstring into;
    } clients[] = {{"CN=Line dashboard,O=Plant", "urn:panel-7:Plant:Dashboard", store.TrustedFolder()},
                   {"CN=Historian,O=Plant", "urn:hist-01:Plant:Historian", store.TrustedFolder()},
                   {"CN=Unknown client,O=Elsewhere", "urn:laptop-3:Elsewhere:Browser", store.RejectedFolder()}};
    std::string key;
    for (const auto& client : clients) {
        UaCertificateRequest request;
        request.subject = client.subject;
        request.names = {std::string("URI:") + client.uri};
        request.key = key;
        std::string certificate;
        if (MakeCertificate(request, certificate, key, error)) {
            WriteBytes(client.into + L"\\" + Sha1Thumbprint(certificate) + L".der", certificate);
        }
    }
    UaCertificateRequest own;
    own.subject = "CN=Tovi Explorer@plant-pc,O=Zelkor";
    own.names = {"URI:urn:plant-pc:Zelkor:ToviExplorer", "DNS:localhost", "DNS:plant-pc", "IP:127.0.0.1"};
    own.lastDay = 5 * 365;
    own.key = key;
    std::string certificate;
    if (MakeCertificate(own, certificate, key, error)) WriteBytes(store.OwnCertificatePath(), certificate);
    return folder;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    const DWORD showMs = argc > 1 ? static_cast<DWORD>(_wtoi(argv[1])) : 4000;
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES | ICC_UPDOWN_CLASS | ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    SetMessageBoxHandler([](const std::wstring&, const std::wstring&, UINT style) { return DefaultAnswer(style); });
    theSettings.SetDefaults();
    theSettings.SetLastUsedFile(L"C:\\Tovi\\Sample.tvf");

    ToviDevice device;
    device.Rename(L"Plant");
    auto* tag = new ToviTag;
    tag->Rename(L"Level");
    device.AddTag(tag);
    tag->SetValueNow(Variant::FromDouble(42.5));

    TagPropertiesFields tagFields;
    tagFields.name = L"Level";
    tagFields.description = L"Tank level";
    tagFields.valueText = L"42.5";
    tagFields.access = 1;
    tagFields.limitValues = true;
    tagFields.high = 100;
    tagFields.deadband = 0.5;
    tagFields.simulation = {true, kSimulateCount, 5, 10};  // every control of the section enabled
    GroupPropertiesFields groupFields{L"Plant", true, true, 1, 5400};

    Tovi_DlgTag tagDialog(tagFields);
    Tovi_DlgGroup groupDialog(groupFields);
    Tovi_DlgOptions options;
    CAboutDlg about;
    ForceQualityDialog force(L"Plant.Level", OPC_QUALITY_COMM_FAILURE);
    std::vector<HWND> shots = {tagDialog.Create(nullptr), groupDialog.Create(nullptr), options.Create(nullptr),
                               about.Create(nullptr), force.Create(nullptr)};
    OPCS_DlgWriteToTag* write = OPCS_DlgWriteToTag::Open(tag, nullptr);
    if (write != nullptr) shots.push_back(write->Handle());

    // A replay of 2,000 rows a millisecond apart, looping, behind its two windows.
    Configuration configuration;
    auto* plant = new ToviDevice;
    plant->Rename(L"Plant");
    configuration.AddDevice(plant);
    plant->AddTag(new ToviTag);
    wchar_t temp[MAX_PATH + 1];
    const std::wstring recording = std::wstring(temp, GetTempPathW(MAX_PATH + 1, temp)) + L"snapshot-replay.csv";
    {
        std::ofstream out(std::filesystem::path(recording), std::ios::binary);
        out << "Timestamp,ItemID,Value,Quality\r\n";
        char row[96];
        for (int i = 0; i < 2000; ++i) {
            snprintf(row, sizeof row, "2026-12-07T10:15:%02d.%07dZ,Plant.Tag,%d,192\r\n", i / 1000, i % 1000 * 10000,
                     i);
            out << row;
        }
    }
    ReplayDialog replayDialog(configuration.Replay(), {});
    shots.push_back(replayDialog.Create(nullptr));
    configuration.Replay().Start(recording, ReplayOptions{1, true});
    ReplayProgressWindow* progress = ReplayProgressWindow::Open(nullptr, configuration.Replay());
    shots.push_back(progress != nullptr ? progress->Handle() : nullptr);
    // Side by side from the top left, wrapping at the screen's width.
    int x = 10, y = 10, rowHeight = 0;
    const int screenWidth = GetSystemMetrics(SM_CXSCREEN);
    int failures = 0;
    for (HWND shot : shots) {
        if (shot == nullptr) {
            ++failures;
            continue;
        }
        RECT r{};
        GetWindowRect(shot, &r);
        if (x + (r.right - r.left) > screenWidth) {
            x = 10;
            y += rowHeight + 10;
            rowHeight = 0;
        }
        SetWindowPos(shot, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        ShowWindow(shot, SW_SHOWNOACTIVATE);
        x += r.right - r.left + 10;
        rowHeight = std::max<int>(rowHeight, r.bottom - r.top);
    }
    Pump(showMs);
    if (write != nullptr && write->Handle() != nullptr) DestroyWindow(write->Handle());
    for (HWND shot : shots) {
        if (shot != nullptr && IsWindow(shot)) DestroyWindow(shot);
    }
    configuration.Replay().Stop();
    DeleteFileW(recording.c_str());
    // The Find dialog, on its own capture: the first one is full.
    if (FindTagsDialog* find = FindTagsDialog::Open(nullptr, {}); find == nullptr) {
        ++failures;
    } else {
        SetDlgItemTextW(find->Handle(), IDC_FIND_TEXT, L"pump");
        SetWindowPos(find->Handle(), nullptr, 10, 10, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        Pump(showMs);
        if (FindTagsDialog::OpenWindow() != nullptr) DestroyWindow(FindTagsDialog::OpenWindow());
    }
    // The clients window alone: it is wide.
    OPCS_DlgClients* clients = OPCS_DlgClients::Open(nullptr, &MadeUpClients);
    if (clients == nullptr) {
        ++failures;
    } else {
        SetWindowPos(clients->Handle(), nullptr, 10, 10, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        Pump(showMs);
        if (OPCS_DlgClients::OpenWindow() != nullptr) DestroyWindow(OPCS_DlgClients::OpenWindow());
    }
    // The certificates dialog alone: its server certificate lacks an address.
    UaCertificatesSetup setup;
    setup.pkiFolder = MadeUpPkiFolder(std::wstring(temp, GetTempPathW(MAX_PATH + 1, temp)));
    setup.serverNames = {"URI:urn:plant-pc:Zelkor:ToviExplorer", "DNS:localhost", "DNS:plant-pc", "IP:127.0.0.1",
                         "IP:192.168.20.14"};
    UaCertificatesDialog certificates(setup);
    if (certificates.Create(nullptr) == nullptr) {
        ++failures;
    } else {
        SetWindowPos(certificates.Handle(), nullptr, 10, 10, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        ShowWindow(certificates.Handle(), SW_SHOWNOACTIVATE);
        Pump(showMs);
        DestroyWindow(certificates.Handle());
    }
    std::filesystem::remove_all(std::filesystem::path(setup.pkiFolder));
    // The OPC UA users, and one of them being changed, side by side.
    {
        const std::wstring path = std::wstring(temp, GetTempPathW(MAX_PATH + 1, temp)) + L"snapshot-users.txt";
        DeleteFileW(path.c_str());
        UaUserStore store(path);
        std::wstring error;
        for (const auto& [name, role] : {std::pair<const wchar_t*, UaRole>{L"historian", UaRole::Read},
                                         {L"line-hmi", UaRole::ReadWrite},
                                         {L"Maintenance (night shift)", UaRole::ReadWrite},
                                         {L"viewer", UaRole::Read}}) {
            store.Set(name, role, "snapshot", error);
        }
        UaUsersDialog users(store);
        UaUserDialog user(L"line-hmi", UaRole::ReadWrite,
                          [](const std::wstring&, UaRole, const std::string&) { return std::wstring(); });
        int left = 10;
        for (HWND shot : {users.Create(nullptr), user.Create(nullptr)}) {
            if (shot == nullptr) {
                ++failures;
                continue;
            }
            RECT r{};
            GetWindowRect(shot, &r);
            SetWindowPos(shot, nullptr, left, 10, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
            ShowWindow(shot, SW_SHOWNOACTIVATE);
            left += r.right - r.left + 10;
        }
        Pump(showMs);
        for (HWND shot : {users.Handle(), user.Handle()}) {
            if (shot != nullptr && IsWindow(shot)) DestroyWindow(shot);
        }
    }
    // The alarms window over alarms in each state, beside a tag's alarm settings and the comment box.
    {
        Configuration alarms;
        auto* boiler = new ToviDevice;
        boiler->Rename(L"Boiler");
        alarms.AddDevice(boiler);
        auto alarmed = [boiler](const wchar_t* name, AlarmSettings settings, double value) {
            auto* t = new ToviTag;
            t->Rename(name);
            boiler->AddTag(t);
            settings.kind = settings.kind == AlarmKind::None ? AlarmKind::ExclusiveLimit : settings.kind;
            t->SetAlarmSettings(settings);
            t->SetValueNow(Variant::FromDouble(value));
        };
        AlarmSettings hot;
        hot.highHigh = 120;
        hot.high = 95;
        hot.severity = 750;
        hot.severityHighHigh = 900;
        alarmed(L"Temperature", hot, 101.5);
        AlarmSettings low;
        low.low = 2;
        low.severity = 300;
        low.message = L"Feed water pressure low";
        alarmed(L"FeedPressure", low, 1.4);
        alarmed(L"Level", hot, 130);
        alarmed(L"Flow", low, 1);
        low.needsConfirm = true;
        alarmed(L"Drum", low, 1);
        AlarmSettings valve;
        valve.kind = AlarmKind::OffNormal;
        valve.normalValue = Variant::FromDouble(1);
        alarmed(L"Valve", valve, 0);
        for (const AlarmEvent& event : alarms.AlarmSnapshot(true)) {
            const auto command = [&](AlarmCommandKind kind, const wchar_t* comment) {
                AlarmEvent now;
                for (const AlarmEvent& e : alarms.AlarmSnapshot(false)) {
                    if (e.itemId == event.itemId) now = e;
                }
                alarms.AlarmCommand(event.itemId, kind, now.number, comment, L"Operator");
            };
            if (event.itemId == L"Boiler.Level") command(AlarmCommandKind::Acknowledge, L"Operator on the way");
            if (event.itemId == L"Boiler.Valve") command(AlarmCommandKind::Disable, L"");
        }
        for (const wchar_t* name : {L"Flow", L"Drum"}) {
            OPCS_Tag* t = alarms.FindTag(std::wstring(L"Boiler.") + name);
            if (t != nullptr) t->SetValueNow(Variant::FromDouble(5));
        }
        for (const AlarmEvent& event : alarms.AlarmSnapshot(true)) {
            if (event.itemId == L"Boiler.Drum") {
                alarms.AlarmCommand(event.itemId, AlarmCommandKind::Acknowledge, event.number, L"", L"Operator");
            }
        }
        AlarmSettings edited = hot;
        edited.kind = AlarmKind::NonExclusiveLimit;
        edited.message = L"Boiler outlet too hot";
        edited.needsConfirm = true;
        AlarmSettingsDialog settingsDialog(edited, VT_R8);
        std::wstring comment = L"Called the shift engineer";
        AlarmCommentDialog commentDialog(L"To Boiler.Temperature:", comment);
        AlarmWindow* window = AlarmWindow::Open(nullptr, alarms);
        int left = 10;
        for (HWND shot : {window != nullptr ? window->Handle() : nullptr, settingsDialog.Create(nullptr),
                          commentDialog.Create(nullptr)}) {
            if (shot == nullptr) {
                ++failures;
                continue;
            }
            RECT r{};
            GetWindowRect(shot, &r);
            const bool below = left + (r.right - r.left) > GetSystemMetrics(SM_CXSCREEN);
            SetWindowPos(shot, nullptr, below ? 10 : left, below ? 420 : 10, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
            ShowWindow(shot, SW_SHOWNOACTIVATE);
            left += r.right - r.left + 10;
        }
        Pump(showMs);
        for (HWND shot : {AlarmWindow::OpenWindow(), settingsDialog.Handle(), commentDialog.Handle()}) {
            if (shot != nullptr && IsWindow(shot)) DestroyWindow(shot);
        }
    }
    // The trend window over a sine and a count recording live, with their
    // computed past, a Bad and an Uncertain stretch, and a tag without history.
    {
        Configuration live;
        auto* demo = new ToviDevice;
        demo->Rename(L"Demo");
        live.AddDevice(demo);
        std::vector<OPCS_Tag*> trended;
        const struct {
            const wchar_t* name;
            VARTYPE type;
            DWORD kind;
            DWORD period;
            bool historize;
        } signals[] = {{L"Sine", VT_R8, kSimulateSine, 600, true},
                       {L"Count", VT_I4, kSimulateCount, 10, true},
                       {L"Setpoint", VT_R8, 0, 10, false}};
        for (const auto& signal : signals) {
            auto* t = new ToviTag;
            t->Rename(signal.name);
            demo->AddTag(t);
            t->SetDataType(signal.type);
            t->SetValueLimits(0, 100);
            if (signal.kind != 0) t->SetSimulation({true, signal.kind, 1, signal.period});
            t->SetHistorize(signal.historize);
            trended.push_back(t);
        }
        demo->RequestPollStart(kPollOperator);
        // A Bad stretch of the sine and an Uncertain one of the count, then a minute's view of them.
        Pump(3000);
        trended[0]->ForceQuality(OPC_QUALITY_COMM_FAILURE);
        Pump(3000);
        trended[0]->ForceQuality(kNotForced);
        trended[1]->ForceQuality(OPC_QUALITY_LAST_USABLE);
        Pump(3000);
        trended[1]->ForceQuality(kNotForced);
        Pump(2000);
        TrendWindow* trend = TrendWindow::Open(nullptr, live, trended);
        if (trend == nullptr) {
            ++failures;
        } else {
            SetWindowPos(trend->Handle(), nullptr, 10, 10, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
            trend->Zoom(true);
            trend->Zoom(true);
            Pump(showMs);
            if (trend->Handle() != nullptr) DestroyWindow(trend->Handle());
        }
        demo->RequestPollStop(kPollOperator);
    }
    // The splash last, alone.
    CSplashWnd::EnableSplashScreen(true);
    CSplashWnd::ShowSplashScreen(nullptr);
    if (CSplashWnd::Window() == nullptr) ++failures;
    Pump(CSplashWnd::kShowMs + 200);
    return failures;
}

// OPC UA Certificates driven by messages over a PKI folder of its own: each
// button moves what the store holds, counts the change for the running
// endpoint, and the server certificate's missing name is shown.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "../settings/ScratchKey.h"
#include "DialogDriver.h"
#include "RecordedBoxes.h"
#include "TempFolder.h"
#include "Text.h"
#include "UaCertificateMaker.h"
#include "UaCertificatesDialog.h"
#include "resource.h"

namespace {
std::string Made(const std::string& subject, const std::vector<std::string>& names, std::string& key) {
    UaCertificateRequest request;
    request.subject = subject;
    request.names = names;
    request.key = key;
    std::string certificate;
    std::wstring error;
    EXPECT_TRUE(MakeCertificate(request, certificate, key, error)) << ToUtf8(error);
    return certificate;
}

void Write(const std::wstring& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(std::filesystem::path(path), std::ios::binary) << bytes;
}

int Rows(HWND dialog, int id) { return ListView_GetItemCount(GetDlgItem(dialog, id)); }

void Select(HWND dialog, int id, int row) {
    ListView_SetItemState(GetDlgItem(dialog, id), row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
}
}  // namespace

TEST(UaCertificatesDialogTest, EachButtonChangesTheFoldersAndCountsTheChange) {
    TempFolder root;
    const std::wstring folder = root.Path() + L"PKI";
    const UaPkiStore store(folder);
    std::wstring error;
    ASSERT_TRUE(store.Prepare(error));
    std::string key;
    const std::string waiting = Made("CN=Waiting,O=Test", {"URI:urn:test:waiting"}, key);
    Write(store.RejectedFolder() + L"\\" + Sha1Thumbprint(waiting) + L".der", waiting);
    const std::string own = Made("CN=Server", {"URI:urn:server", "DNS:localhost", "IP:127.0.0.1"}, key);
    Write(store.OwnCertificatePath(), own);
    Write(store.OwnKeyPath(), key);
    Write(folder + L"\\own\\private\\users.txt", "users");

    ScratchKey settings;
    RecordedBoxes boxes;
    UaCertificatesSetup setup;
    setup.pkiFolder = folder;
    setup.serverNames = {"URI:urn:server", "DNS:localhost", "IP:127.0.0.1", "IP:192.0.2.44"};
    setup.settingsKey = settings.Path();
    int renewals = 0;
    setup.renewed = [&renewals] { ++renewals; };
    UaCertificatesDialog dialog(setup);
    const std::wstring imported = root.File(L"import.pem"), exported = root.File(L"export.pem");
    Write(imported, "not a certificate");
    dialog.SetOpenChooser([&imported] { return imported; });
    dialog.SetSaveChooser([&exported](bool& pem) {
        pem = true;
        return exported;
    });
    HWND window = dialog.Create(nullptr);
    ASSERT_NE(nullptr, window);

    // The server's certificate: its facts, and the address it lacks.
    EXPECT_EQ(L"CN=Server", ControlText(window, IDC_UACERT_OWN_SUBJECT));
    EXPECT_EQ(Sha1Thumbprint(own), ControlText(window, IDC_UACERT_OWN_THUMBPRINT));
    EXPECT_NE(std::wstring::npos, ControlText(window, IDC_UACERT_OWN_WARNING).find(L"192.0.2.44"));

    const struct {
        const char* step;
        std::function<void()> act;
        int trusted, rejected;
        unsigned counted;  // changes counted so far
    } steps[] = {
        {"nothing selected: no trust", [&] { ClickButton(window, IDC_UACERT_TRUST); }, 0, 1, 0},
        {"trust the waiting one",
         [&] {
             Select(window, IDC_UACERT_REJECTED, 0);
             EXPECT_TRUE(ControlEnabled(window, IDC_UACERT_TRUST));
             EXPECT_FALSE(ControlEnabled(window, IDC_UACERT_REJECT));
             ClickButton(window, IDC_UACERT_TRUST);
         },
         1, 0, 1},
        {"reject it again",
         [&] {
             Select(window, IDC_UACERT_TRUSTED, 0);
             EXPECT_FALSE(ControlEnabled(window, IDC_UACERT_TRUST));
             ClickButton(window, IDC_UACERT_REJECT);
         },
         0, 1, 2},
        {"an import that is no certificate", [&] { ClickButton(window, IDC_UACERT_IMPORT); }, 0, 1, 2},
        {"an import of a certificate",
         [&] {
             Write(imported, CertificatePem(Made("CN=Given", {"URI:urn:test:given"}, key)));
             ClickButton(window, IDC_UACERT_IMPORT);
         },
         1, 1, 3},
        {"delete the rejected one, confirmed",
         [&] {
             boxes.answer = IDYES;
             Select(window, IDC_UACERT_REJECTED, 0);
             ClickButton(window, IDC_UACERT_DELETE);
         },
         1, 0, 4},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.step);
        step.act();
        EXPECT_EQ(step.trusted, Rows(window, IDC_UACERT_TRUSTED));
        EXPECT_EQ(step.rejected, Rows(window, IDC_UACERT_REJECTED));
        EXPECT_EQ(step.trusted, static_cast<int>(store.Trusted().size()));
        EXPECT_EQ(step.rejected, static_cast<int>(store.Rejected().size()));
        EXPECT_EQ(step.counted, UaSecurityRevision(settings.Path()));
    }
    ASSERT_FALSE(boxes.texts.empty());
    EXPECT_NE(std::wstring::npos, boxes.texts.front().find(L"was not trusted")) << ToUtf8(boxes.texts.front());

    ClickButton(window, IDC_UACERT_EXPORT);
    EXPECT_EQ(0u, ReadFileBytes(exported).find("-----BEGIN CERTIFICATE-----"));

    // Renew: the certificate and its key go, the users stay, and the endpoint is asked to start anew.
    boxes.answer = IDNO;
    ClickButton(window, IDC_UACERT_RENEW);
    EXPECT_EQ(0, renewals);
    EXPECT_TRUE(FileExists(store.OwnCertificatePath()));
    boxes.answer = IDYES;
    ClickButton(window, IDC_UACERT_RENEW);
    EXPECT_EQ(1, renewals);
    EXPECT_FALSE(FileExists(store.OwnCertificatePath()));
    EXPECT_FALSE(FileExists(store.OwnKeyPath()));
    EXPECT_TRUE(FileExists(folder + L"\\own\\private\\users.txt"));
    EXPECT_EQ(5u, UaSecurityRevision(settings.Path()));
    EXPECT_FALSE(ControlEnabled(window, IDC_UACERT_RENEW));

    DestroyWindow(window);
    std::filesystem::remove_all(std::filesystem::path(folder));
    DeleteFileW(imported.c_str());
    DeleteFileW(exported.c_str());
}

#pragma once
// "OPC UA Certificates": the client certificates trusted and rejected (Trust,
// Reject, Delete, Import), and the server's own certificate (View, Export,
// Renew), with what it does not name of this computer. Every change is
// counted (CountUaSecurityChange), so that the running endpoint reads the
// folders again.
#include <functional>
#include <string>
#include <vector>

#include "DialogWindow.h"
#include "UaPkiStore.h"

struct UaCertificatesSetup {
    std::wstring pkiFolder = UaPkiFolder();
    // What the server's certificate should name (ServerCertificateNames of
    // the endpoint); empty: not checked.
    std::vector<std::string> serverNames;
    // Called after Renew discarded the server's certificate: the endpoint
    // starts anew and makes another.
    std::function<void()> renewed;
    std::wstring settingsKey;  // where changes are counted; empty: the program's settings
};

class UaCertificatesDialog : public DialogWindow {
public:
    explicit UaCertificatesDialog(UaCertificatesSetup setup);

    // Replace the file dialogs of Import and Export (tests): they get the
    // dialog's title and give the chosen path (and for Export whether PEM
    // was chosen), empty when cancelled.
    void SetOpenChooser(std::function<std::wstring()> chooser) { m_openChooser = std::move(chooser); }
    void SetSaveChooser(std::function<std::wstring(bool& pem)> chooser) { m_saveChooser = std::move(chooser); }

protected:
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void OnInitDialog();
    void Fill();
    void FillOwn();
    void Enablings();
    // The selected row of either list; null when none.
    const UaCertificateRow* Selected(bool* rejected = nullptr) const;
    void OnTrust();
    void OnReject();
    void OnDelete();
    void OnImport();
    void OnView(const UaCertificateRow& row);
    void OnExport();
    void OnRenew();
    void Changed();
    void Report(const std::wstring& error) const;
    std::wstring ChooseOpen();
    std::wstring ChooseSave(bool& pem);

    UaCertificatesSetup m_setup;
    UaPkiStore m_store;
    std::vector<UaCertificateRow> m_trusted;
    std::vector<UaCertificateRow> m_rejected;
    UaCertificateRow m_own;
    std::function<std::wstring()> m_openChooser;
    std::function<std::wstring(bool&)> m_saveChooser;
};

// Runs the dialog modally.
void ShowUaCertificates(HWND owner, UaCertificatesSetup setup);

#pragma once
// "Program Options": the event log's settings, read from and saved to the
// program settings (they take effect at the next start), Reset, which
// empties the running log at once, whether OPC clients may control faults
// and write qualities and timestamps, whether the server offers OPC DA 3.0
// (the caller applies it at once), the OPC UA endpoint: its port and who may
// connect, and the span and memory bound of the tags' history (the caller
// applies those at once).
#include <functional>
#include <string>

#include "DialogWindow.h"
#include "UaCertificatesDialog.h"
#include "UaSecuritySettings.h"

class Tovi_DlgOptions : public DialogWindow {
public:
    Tovi_DlgOptions();

    // Replaces the file-open dialog of Browse (tests); it gets the starting
    // name and gives the chosen path, empty when cancelled.
    void SetFileChooser(std::function<std::wstring(const std::wstring&)> chooser) { m_chooser = std::move(chooser); }

    // What Certificates... shows the server's certificate against, and what
    // Renew does; without one, nothing is checked and the change is only counted.
    void SetCertificatesSetup(std::function<UaCertificatesSetup()> setup) { m_certificatesSetup = std::move(setup); }

    // The history limits as typed: the span in hours (1 to a year) and the
    // memory bound in MB (16 up to what the process can address, `wide`: a
    // 64-bit one); `refused` names the field a message refuses, 0 when none.
    static constexpr unsigned kHistoryHoursMax = 8760;
    static constexpr unsigned kHistoryMegabytesMin = 16;
    static constexpr unsigned kHistoryMegabytesMax64 = 65536;
    static constexpr unsigned kHistoryMegabytesMax32 = 1536;
    struct HistoryFields {
        unsigned hours = 0;
        unsigned megabytes = 0;
        int refused = 0;
        std::wstring message;
    };
    static HistoryFields CheckHistoryFields(const std::wstring& hours, const std::wstring& megabytes,
                                            bool wide = sizeof(void*) == 8);

protected:
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void OnInitDialog();
    void OnBrowse();
    std::wstring ChooseLogFile(const std::wstring& start);
    void OnOK();
    // Asks before a door of the OPC UA endpoint opens; unticks it on No.
    void ConfirmDoor(int checkBox, const wchar_t* warning);
    // Enables what the chosen mode makes count and says what it lets in.
    void ShowUaSecurity();
    UaSecuritySettings ChosenUaSecurity() const;

    std::function<std::wstring(const std::wstring&)> m_chooser;
    UaSecuritySettings m_uaSecurity;  // as stored when the dialog opened
    std::function<UaCertificatesSetup()> m_certificatesSetup;
};

// Whether a file of this name can be written: an existing file is opened
// without being changed, a missing one is created and removed again.
bool CanWriteFile(const std::wstring& path);

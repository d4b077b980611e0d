#pragma once
// The document's commands, as the frame routes them: adding devices, groups
// and tags, polling, saving and the column choice.
#include <functional>

#include "CommandTarget.h"
#include "UaCertificatesDialog.h"

class CTagView;
class OPCS_Doc;

class DocumentCommands : public CommandTarget {
public:
    // The tag view is the one whose columns Choose Columns edits (may be null).
    DocumentCommands(OPCS_Doc& doc, CTagView* tagView) noexcept : m_doc(doc), m_tagView(tagView) {}
    bool QueryCommand(UINT command, CommandState& state) override;
    bool OnCommand(UINT command) override;
    // Told after Options was closed with OK (the settings are saved).
    void SetOptionsApplied(std::function<void()> handler) { m_optionsApplied = std::move(handler); }
    // What Options > Certificates... checks the server's certificate against.
    void SetCertificatesSetup(std::function<UaCertificatesSetup()> setup) { m_certificatesSetup = std::move(setup); }

private:
    OPCS_Doc& m_doc;
    CTagView* m_tagView;
    std::function<void()> m_optionsApplied;
    std::function<UaCertificatesSetup()> m_certificatesSetup;
};

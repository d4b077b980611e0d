#include "DocumentCommands.h"

#include "Configuration.h"
#include "OPCS_Device.h"
#include "OPCS_DlgColumns.h"
#include "Tovi_DlgOptions.h"
#include "OPCS_Registry.h"
#include "OPCS_Doc.h"
#include "OPCS_TagGroup.h"
#include "CTagView.h"
#include "TrendWindow.h"
#include "resource.h"

namespace {
OPCS_Device* SelectedDevice(OPCS_Doc* doc) {
    OPCS_TagGroup* group = doc->GetSelectedGroup();
    return group != nullptr && group->IsDevice() ? static_cast<OPCS_Device*>(group) : nullptr;
}

// A device or group is selected, and its device is not busy.
bool CanAddBelowSelection(OPCS_Doc* doc) {
    OPCS_TagGroup* group = doc->GetSelectedGroup();
    if (group == nullptr) return false;
    OPCS_Device* device = group->GetDevice();
    return OPCS_TagGroup::IsValidGroup(device) && !device->IsBusy();
}
}  // namespace

bool DocumentCommands::QueryCommand(UINT command, CommandState& state) {
    OPCS_Doc* doc = &m_doc;
    switch (command) {
    case ID_FILE_SAVE:
    case ID_FILE_OPTIONS:
    case ID_ADD_DEVICE: return true;
    case ID_VIEW_COLUMNS: state.enabled = m_tagView != nullptr; return true;
    case ID_VIEW_TREND: state.enabled = m_tagView != nullptr && !m_tagView->SelectedRows().empty(); return true;
    case ID_ADD_GROUP:
    case ID_ADD_TAG: state.enabled = CanAddBelowSelection(doc); return true;
    case ID_START_POLLING_DEVICE:
    case ID_STOP_POLLING_DEVICE: {
        OPCS_Device* device = SelectedDevice(doc);
        state.enabled = device != nullptr;
        const bool requested = device != nullptr && device->PollsByItself();
        state.checked = device != nullptr && (command == ID_START_POLLING_DEVICE ? requested : !requested);
        return true;
    }
    case ID_POLL_ALL_DEVICES: state.enabled = doc->QueryPollAllState(&state.checked); return true;
    default: return false;
    }
}

bool DocumentCommands::OnCommand(UINT command) {
    OPCS_Doc* doc = &m_doc;
    switch (command) {
    case ID_FILE_SAVE: doc->Save(); return true;
    case ID_ADD_DEVICE: doc->OnAddDevice(); return true;
    case ID_ADD_GROUP: doc->OnAddNestedGroup(); return true;
    case ID_ADD_TAG: doc->OnAddTag(); return true;
    case ID_START_POLLING_DEVICE: doc->OnStartPollingDevice(); return true;
    case ID_STOP_POLLING_DEVICE: doc->OnStopPollingDevice(); return true;
    case ID_POLL_ALL_DEVICES: doc->OnPollAllDevices(); return true;
    case ID_FILE_OPTIONS: {
        Tovi_DlgOptions dialog;
        dialog.SetCertificatesSetup(m_certificatesSetup);
        if (dialog.DoModal(GetActiveWindow()) == IDOK) {
            doc->GetConfiguration().EnableFaultControl(theSettings.IsFaultControlAllowed());
            doc->GetConfiguration().AllowClientQualityWrites(theSettings.AreClientQualityWritesAllowed());
            doc->GetConfiguration().ApplyHistorySettings();
            if (m_optionsApplied) m_optionsApplied();
        }
        return true;
    }
    case ID_VIEW_TREND:
        if (m_tagView != nullptr) {
            TrendWindow::Open(GetAncestor(m_tagView->Handle(), GA_ROOT), doc->GetConfiguration(),
                              m_tagView->SelectedTags());
        }
        return true;
    case ID_VIEW_COLUMNS:
        if (m_tagView != nullptr) {
            m_tagView->SaveColumnWidths();
            OPCS_DlgColumns dialog(m_tagView);
            dialog.DoModal(GetAncestor(m_tagView->Handle(), GA_ROOT));
        }
        return true;
    default: return false;
    }
}

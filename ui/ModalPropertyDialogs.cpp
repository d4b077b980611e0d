#include "ModalPropertyDialogs.h"

#include "Tovi_DlgGroup.h"
#include "Tovi_DlgTag.h"

namespace {
HWND DialogOwner() { return GetActiveWindow(); }
}  // namespace

bool ModalPropertyDialogs::EditTag(TagPropertiesFields& fields) {
    Tovi_DlgTag dialog(fields);
    return dialog.DoModal(DialogOwner()) == IDOK;
}

bool ModalPropertyDialogs::EditGroup(GroupPropertiesFields& fields) {
    Tovi_DlgGroup dialog(fields);
    return dialog.DoModal(DialogOwner()) == IDOK;
}

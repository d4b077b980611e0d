#include "FaultControl.h"

#include "FileTime.h"
#include "ForcedQuality.h"
#include "OPCS_Device.h"
#include "OpcConstants.h"
#include "Text.h"

namespace {
struct ControlItem {
    ControlKind kind;
    const wchar_t* name;
    VARTYPE type;
    const wchar_t* description;
};
constexpr ControlItem kControlItems[] = {
    {ControlKind::Quality, L"Quality", VT_I4, L"Quality forced on the device's tags; -1 for none"},
    {ControlKind::InService, L"InService", VT_BOOL, L"The device is in service"},
    {ControlKind::ResponseDelayMs, L"ResponseDelayMs", VT_I4, L"Milliseconds the device takes to answer"},
    {ControlKind::Freeze, L"Freeze", VT_BOOL, L"The device's values stand still"},
};

const ControlItem& ItemOf(ControlKind kind) {
    for (const ControlItem& item : kControlItems) {
        if (item.kind == kind) return item;
    }
    return kControlItems[0];
}
}  // namespace

ControlTag::ControlTag(FaultControl& control, OPCS_Device* device, ControlKind kind)
    : m_control(control), m_device(device), m_kind(kind) {
    const ControlItem& item = ItemOf(kind);
    ScopedLock guard(m_lock);
    StoreName(item.name);
    m_description = item.description;
    m_dataType = item.type;
    m_volatile = true;  // nothing of it is saved
    m_accessMode = control.IsEnabled() ? 1 : 0;
}

void ControlTag::SetWritable(bool writable) {
    ScopedLock guard(m_lock);
    m_accessMode = writable ? 1 : 0;
}

OPCS_Device* ControlTag::LiveDevice() const {
    return !m_retired.load() && OPCS_TagGroup::IsValidGroup(m_device) ? m_device : nullptr;
}

Variant ControlTag::DeviceSetting(OPCS_Device& device) const {
    switch (m_kind) {
    case ControlKind::Quality: return Variant::FromLong(device.GetForcedQuality());
    case ControlKind::InService: return Variant::FromBool(device.IsInService());
    case ControlKind::ResponseDelayMs: return Variant::FromLong(static_cast<LONG>(device.GetResponseDelay()));
    case ControlKind::Freeze: return Variant::FromBool(device.IsFrozen());
    }
    return Variant();
}

void ControlTag::RefreshBeforeRead() {
    OPCS_Device* device = LiveDevice();
    if (device == nullptr) {
        SetQuality(OPC_QUALITY_CONFIG_ERROR);
        return;
    }
    Variant now = DeviceSetting(*device);
    {
        ScopedLock guard(m_lock);
        const VARIANT& was = m_value.Ref();
        const bool same = V_VT(&was) == now.Type() &&
                          (now.Type() == VT_BOOL ? V_BOOL(&was) == V_BOOL(&now.Ref()) : V_I4(&was) == V_I4(&now.Ref()));
        if (m_quality == OPC_QUALITY_GOOD && same) return;
    }
    SetValueNow(now);
}

bool ControlTag::WriteValue(Variant& value) { return ClientWrite(value) == S_OK; }

HRESULT ControlTag::ClientWrite(Variant& value) {
    if (!m_control.IsEnabled() || GetAccessMode() != 1) return OPC_E_BADRIGHTS;
    OPCS_Device* device = LiveDevice();
    if (device == nullptr) return E_FAIL;
    const VARTYPE type = ItemOf(m_kind).type;
    // Nothing is applied unless the whole value is sound.
    if (FAILED(value.ChangeType(type))) return OPC_E_BADTYPE;
    switch (m_kind) {
    case ControlKind::Quality: {
        const LONG quality = V_I4(&value.Ref());
        if (!IsForcibleQuality(quality)) return OPC_E_RANGE;
        device->ForceQuality(quality);
        break;
    }
    case ControlKind::InService: device->SetInService(V_BOOL(&value.Ref()) != VARIANT_FALSE); break;
    case ControlKind::ResponseDelayMs: {
        const LONG delay = V_I4(&value.Ref());
        if (delay < 0 || static_cast<DWORD>(delay) > kMaxResponseDelayMs) return OPC_E_RANGE;
        device->SetResponseDelay(static_cast<DWORD>(delay));
        break;
    }
    case ControlKind::Freeze: device->SetFrozen(V_BOOL(&value.Ref()) != VARIANT_FALSE); break;
    }
    RefreshBeforeRead();
    return S_OK;
}

ControlBranch::ControlBranch(FaultControl& control, OPCS_Device* device) : m_device(device) {
    StoreName(kControlBranchName);
    for (const ControlItem& item : kControlItems) AddTag(new ControlTag(control, device, item.kind));
}

std::wstring ControlBranch::GetPath() {
    std::wstring path = IsValidGroup(m_device) ? m_device->GetPath() : std::wstring();
    return path + GetName() + kItemIdSeparator;
}

FaultControl::~FaultControl() {
    ForgetAll();
    for (ControlBranch* branch : m_retired) delete branch;
}

void FaultControl::SetEnabled(bool enabled) {
    m_enabled.store(enabled);
    for (const auto& [device, branch] : m_branches) {
        for (OPCS_Tag* tag : branch->SnapshotTags()) static_cast<ControlTag*>(tag)->SetWritable(enabled);
    }
}

OPCS_TagGroup* FaultControl::BranchOf(OPCS_Device* device) {
    if (!IsEnabled() || device == nullptr) return nullptr;
    ControlBranch*& branch = m_branches[device];
    if (branch == nullptr) branch = new ControlBranch(*this, device);
    return branch;
}

OPCS_Tag* FaultControl::FindTag(OPCS_Device* device, std::wstring_view relativeId) {
    const std::wstring_view branchName = kControlBranchName;
    if (!IsEnabled() || relativeId.size() <= branchName.size() || relativeId[branchName.size()] != kItemIdSeparator ||
        !EqualsNoCase(relativeId.substr(0, branchName.size()), branchName)) {
        return nullptr;
    }
    OPCS_TagGroup* branch = BranchOf(device);
    return branch != nullptr ? branch->FindTag(relativeId.substr(branchName.size() + 1)) : nullptr;
}

OPCS_TagGroup* FaultControl::BranchIfMade(OPCS_Device* device) const {
    const auto found = m_branches.find(device);
    return found != m_branches.end() ? found->second : nullptr;
}

OPCS_Device* FaultControl::DeviceOfBranch(const OPCS_TagGroup* group) const {
    for (const auto& [device, branch] : m_branches) {
        if (branch == group) return device;
    }
    return nullptr;
}

void FaultControl::Forget(OPCS_Device* device) {
    const auto found = m_branches.find(device);
    if (found == m_branches.end()) return;
    for (OPCS_Tag* tag : found->second->SnapshotTags()) static_cast<ControlTag*>(tag)->Retire();
    m_retired.push_back(found->second);
    m_branches.erase(found);
}

void FaultControl::ForgetAll() {
    while (!m_branches.empty()) Forget(m_branches.begin()->first);
}

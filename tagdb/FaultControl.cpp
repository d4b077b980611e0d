#include "FaultControl.h"

#include <cmath>

#include "FileTime.h"
#include "ForcedQuality.h"
#include "OPCS_Device.h"
#include "OpcConstants.h"
#include "Text.h"
#include "ProgramPaths.h"
#include "ValueReplay.h"

namespace {
// A control item's name, type and description, by its kind.
template <class Kind>
struct ItemSpec {
    Kind kind;
    const wchar_t* name;
    VARTYPE type;
    const wchar_t* description;
};

template <class Kind, size_t N>
const ItemSpec<Kind>& Find(const ItemSpec<Kind> (&items)[N], Kind kind) {
    for (const ItemSpec<Kind>& item : items) {
        if (item.kind == kind) return item;
    }
    return items[0];
}

constexpr ItemSpec<ControlKind> kControlItems[] = {
    {ControlKind::Quality, L"Quality", VT_I4, L"Quality forced on the device's tags; -1 for none"},
    {ControlKind::InService, L"InService", VT_BOOL, L"The device is in service"},
    {ControlKind::ResponseDelayMs, L"ResponseDelayMs", VT_I4, L"Milliseconds the device takes to answer"},
    {ControlKind::Freeze, L"Freeze", VT_BOOL, L"The device's values stand still"},
};

const ItemSpec<ControlKind>& ItemOf(ControlKind kind) { return Find(kControlItems, kind); }
}  // namespace

ControlTag::ControlTag(FaultControl& control, OPCS_Device* device, ControlKind kind)
    : m_control(control), m_device(device), m_kind(kind) {
    const ItemSpec<ControlKind>& item = ItemOf(kind);
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

namespace {
constexpr ItemSpec<ReplayControlKind> kReplayItems[] = {
    {ReplayControlKind::File, L"File", VT_BSTR, L"The CSV file the next run plays"},
    {ReplayControlKind::Speed, L"Speed", VT_R8, L"The speed factor of the next run"},
    {ReplayControlKind::Loop, L"Loop", VT_BOOL, L"The next run starts again after its last row"},
    {ReplayControlKind::Run, L"Run", VT_BOOL, L"Playing; true checks the file and plays it, false stops"},
    {ReplayControlKind::Status, L"Status", VT_BSTR, L"What the replay does, or why it refused the file"},
};

const ItemSpec<ReplayControlKind>& ItemOf(ReplayControlKind kind) { return Find(kReplayItems, kind); }

std::wstring StatusText(const ValueReplay& replay) {
    if (replay.IsPlaying()) {
        const ReplayProgress p = replay.Progress();
        return FormatText(L"Playing row %llu of %llu, loop %llu", static_cast<unsigned long long>(p.rowsPlayed),
                          static_cast<unsigned long long>(p.rowsInFile),
                          static_cast<unsigned long long>(p.loopsCompleted + 1));
    }
    const ReplayCheck check = replay.LastCheck();
    if (!check.Passed()) {
        std::wstring text = L"Refused: " + check.Text();
        while (!text.empty() && text.back() == L'\n') text.pop_back();
        return text;
    }
    return L"Idle";
}
}  // namespace

ReplayControlTag::ReplayControlTag(FaultControl& control, ReplayControlKind kind) : m_control(control), m_kind(kind) {
    const ItemSpec<ReplayControlKind>& item = ItemOf(kind);
    ScopedLock guard(m_lock);
    StoreName(item.name);
    m_description = item.description;
    m_dataType = item.type;
    m_volatile = true;
    m_accessMode = control.IsEnabled() && kind != ReplayControlKind::Status ? 1 : 0;
}

void ReplayControlTag::SetWritable(bool writable) {
    ScopedLock guard(m_lock);
    m_accessMode = writable && m_kind != ReplayControlKind::Status ? 1 : 0;
}

Variant ReplayControlTag::Setting() const {
    const FaultControl::ReplaySettings settings = m_control.GetReplaySettings();
    const ValueReplay* replay = m_control.Replay();
    switch (m_kind) {
    case ReplayControlKind::File: return Variant::FromString(settings.file);
    case ReplayControlKind::Speed: return Variant::FromDouble(settings.speed);
    case ReplayControlKind::Loop: return Variant::FromBool(settings.loop);
    case ReplayControlKind::Run: return Variant::FromBool(replay != nullptr && replay->IsPlaying());
    case ReplayControlKind::Status: return Variant::FromString(replay != nullptr ? StatusText(*replay) : L"");
    }
    return Variant();
}

void ReplayControlTag::RefreshBeforeRead() {
    Variant now = Setting();
    {
        ScopedLock guard(m_lock);
        if (m_quality == OPC_QUALITY_GOOD && VarCmp(m_value.Get(), now.Get(), LOCALE_INVARIANT, 0) == VARCMP_EQ) {
            return;
        }
    }
    SetValueNow(now);
}

bool ReplayControlTag::WriteValue(Variant& value) { return ClientWrite(value) == S_OK; }

HRESULT ReplayControlTag::ClientWrite(Variant& value) {
    if (!m_control.IsEnabled() || GetAccessMode() != 1) return OPC_E_BADRIGHTS;
    ValueReplay* replay = m_control.Replay();
    if (replay == nullptr) return E_FAIL;
    if (FAILED(value.ChangeType(ItemOf(m_kind).type))) return OPC_E_BADTYPE;
    FaultControl::ReplaySettings settings = m_control.GetReplaySettings();
    HRESULT result = S_OK;
    switch (m_kind) {
    case ReplayControlKind::File: settings.file = V_BSTR(&value.Ref()) != nullptr ? V_BSTR(&value.Ref()) : L""; break;
    case ReplayControlKind::Speed: {
        const double speed = V_R8(&value.Ref());
        if (!(speed > 0) || !std::isfinite(speed)) return OPC_E_RANGE;
        settings.speed = speed;
        break;
    }
    case ReplayControlKind::Loop: settings.loop = V_BOOL(&value.Ref()) != VARIANT_FALSE; break;
    case ReplayControlKind::Run:
        if (V_BOOL(&value.Ref()) == VARIANT_FALSE) {
            replay->Stop();
        } else if (!replay->Start(FullPath(settings.file), ReplayOptions{settings.speed, settings.loop}).Passed()) {
            result = E_FAIL;  // Status names every bad row
        }
        break;
    case ReplayControlKind::Status: return OPC_E_BADRIGHTS;
    }
    m_control.SetReplaySettings(settings);
    RefreshBeforeRead();
    return result;
}

ControlBranch::ControlBranch(FaultControl& control, OPCS_Device* device) : m_device(device) {
    StoreName(kControlBranchName);
    for (const ItemSpec<ControlKind>& item : kControlItems) AddTag(new ControlTag(control, device, item.kind));
}

std::wstring ControlBranch::GetPath() {
    std::wstring path = IsValidGroup(m_device) ? m_device->GetPath() : std::wstring();
    return path + GetName() + kItemIdSeparator;
}

FaultControl::~FaultControl() {
    ForgetAll();
    for (ControlBranch* branch : m_retired) delete branch;
    delete m_root;
}

void FaultControl::SetEnabled(bool enabled) {
    m_enabled.store(enabled);
    for (const auto& [device, branch] : m_branches) {
        for (OPCS_Tag* tag : branch->SnapshotTags()) static_cast<ControlTag*>(tag)->SetWritable(enabled);
    }
    if (m_root != nullptr) {
        for (OPCS_TagGroup* folder : m_root->SnapshotGroups()) {
            for (OPCS_Tag* tag : folder->SnapshotTags()) static_cast<ReplayControlTag*>(tag)->SetWritable(enabled);
        }
    }
}

OPCS_TagGroup* FaultControl::RootBranch() {
    if (!IsEnabled() || m_replay == nullptr) return nullptr;
    if (m_root == nullptr) {
        m_root = new ControlFolder(kControlBranchName);
        auto* replay = new ControlFolder(L"Replay");
        for (ReplayControlKind kind : {ReplayControlKind::File, ReplayControlKind::Speed, ReplayControlKind::Loop,
                                       ReplayControlKind::Run, ReplayControlKind::Status}) {
            replay->AddTag(new ReplayControlTag(*this, kind));
        }
        m_root->AddGroup(replay);
    }
    return m_root;
}

OPCS_Tag* FaultControl::FindRootTag(std::wstring_view relativeId) {
    OPCS_TagGroup* root = RootBranch();
    return root != nullptr ? root->FindTag(relativeId) : nullptr;
}

FaultControl::ReplaySettings FaultControl::GetReplaySettings() const {
    ScopedLock guard(m_settingsLock);
    return m_replaySettings;
}

void FaultControl::SetReplaySettings(const ReplaySettings& settings) {
    ScopedLock guard(m_settingsLock);
    m_replaySettings = settings;
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

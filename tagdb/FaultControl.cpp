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
    {ControlKind::AlarmStorm, L"AlarmStorm", VT_UI4,
     L"Alarm transitions a second over the device's alarmed tags; 0 for none"},
};

const ItemSpec<ControlKind>& ItemOf(ControlKind kind) { return Find(kControlItems, kind); }
}  // namespace

ControlItem::ControlItem(FaultControl& control, const wchar_t* name, VARTYPE type, const wchar_t* description,
                         bool readOnly)
    : m_control(control), m_type(type), m_readOnly(readOnly) {
    ScopedLock guard(m_lock);
    StoreName(name);
    m_description = description;
    m_dataType = type;
    m_volatile = true;  // nothing of it is saved
    m_accessMode = control.IsEnabled() && !readOnly ? 1 : 0;
}

void ControlItem::SetWritable(bool writable) {
    ScopedLock guard(m_lock);
    m_accessMode = writable && !m_readOnly ? 1 : 0;
}

void ControlItem::RefreshBeforeRead() {
    Variant now;
    if (!Setting(now)) {
        SetQuality(OPC_QUALITY_CONFIG_ERROR);
        return;
    }
    {
        ScopedLock guard(m_lock);
        if (m_quality == OPC_QUALITY_GOOD && V_VT(&m_value.Ref()) == now.Type() &&
            VarCmp(m_value.Get(), now.Get(), LOCALE_INVARIANT, 0) == VARCMP_EQ) {
            return;
        }
    }
    SetValueNow(now);
}

HRESULT ControlItem::ClientWrite(Variant& value) {
    if (!m_control.IsEnabled() || GetAccessMode() != 1) return OPC_E_BADRIGHTS;
    Variant current;
    if (!Setting(current)) return E_FAIL;
    if (FAILED(value.ChangeType(m_type))) return OPC_E_BADTYPE;
    const HRESULT result = Apply(value.Ref());
    RefreshBeforeRead();
    return result;
}

ControlTag::ControlTag(FaultControl& control, OPCS_Device* device, ControlKind kind)
    : ControlItem(control, ItemOf(kind).name, ItemOf(kind).type, ItemOf(kind).description, false),
      m_device(device),
      m_kind(kind) {}

OPCS_Device* ControlTag::LiveDevice() const {
    return !m_retired.load() && OPCS_TagGroup::IsValidGroup(m_device) ? m_device : nullptr;
}

bool ControlTag::Setting(Variant& now) const {
    OPCS_Device* device = LiveDevice();  // its getters are not const: they lock
    if (device == nullptr) return false;
    switch (m_kind) {
    case ControlKind::Quality: now = Variant::FromLong(device->GetForcedQuality()); break;
    case ControlKind::InService: now = Variant::FromBool(device->IsInService()); break;
    case ControlKind::ResponseDelayMs: now = Variant::FromLong(static_cast<LONG>(device->GetResponseDelay())); break;
    case ControlKind::Freeze: now = Variant::FromBool(device->IsFrozen()); break;
    case ControlKind::AlarmStorm:
        now = Variant::FromLong(static_cast<LONG>(device->GetAlarmStormRate()));
        now.ChangeType(VT_UI4);
        break;
    }
    return true;
}

HRESULT ControlTag::Apply(const VARIANT& value) {
    OPCS_Device* device = LiveDevice();
    if (device == nullptr) return E_FAIL;
    switch (m_kind) {
    case ControlKind::Quality:
        if (!IsForcibleQuality(V_I4(&value))) return OPC_E_RANGE;
        device->ForceQuality(V_I4(&value));
        break;
    case ControlKind::InService: device->SetInService(V_BOOL(&value) != VARIANT_FALSE); break;
    case ControlKind::ResponseDelayMs:
        if (V_I4(&value) < 0 || static_cast<DWORD>(V_I4(&value)) > kMaxResponseDelayMs) return OPC_E_RANGE;
        device->SetResponseDelay(static_cast<DWORD>(V_I4(&value)));
        break;
    case ControlKind::Freeze: device->SetFrozen(V_BOOL(&value) != VARIANT_FALSE); break;
    case ControlKind::AlarmStorm:
        if (V_UI4(&value) > kMaxAlarmStormRate) return OPC_E_RANGE;
        device->SetAlarmStormRate(V_UI4(&value));
        break;
    }
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

ReplayControlTag::ReplayControlTag(FaultControl& control, ReplayControlKind kind)
    : ControlItem(control, ItemOf(kind).name, ItemOf(kind).type, ItemOf(kind).description,
                  kind == ReplayControlKind::Status),
      m_kind(kind) {}

bool ReplayControlTag::Setting(Variant& now) const {
    const FaultControl::ReplaySettings settings = m_control.GetReplaySettings();
    const ValueReplay* replay = m_control.Replay();
    if (replay == nullptr) return false;
    switch (m_kind) {
    case ReplayControlKind::File: now = Variant::FromString(settings.file); break;
    case ReplayControlKind::Speed: now = Variant::FromDouble(settings.speed); break;
    case ReplayControlKind::Loop: now = Variant::FromBool(settings.loop); break;
    case ReplayControlKind::Run: now = Variant::FromBool(replay->IsPlaying()); break;
    case ReplayControlKind::Status: now = Variant::FromString(StatusText(*replay)); break;
    }
    return true;
}

HRESULT ReplayControlTag::Apply(const VARIANT& value) {
    ValueReplay* replay = m_control.Replay();
    FaultControl::ReplaySettings settings = m_control.GetReplaySettings();
    HRESULT result = S_OK;
    switch (m_kind) {
    case ReplayControlKind::File: settings.file = V_BSTR(&value) != nullptr ? V_BSTR(&value) : L""; break;
    case ReplayControlKind::Speed:
        if (!(V_R8(&value) > 0) || !std::isfinite(V_R8(&value))) return OPC_E_RANGE;
        settings.speed = V_R8(&value);
        break;
    case ReplayControlKind::Loop: settings.loop = V_BOOL(&value) != VARIANT_FALSE; break;
    case ReplayControlKind::Run:
        if (V_BOOL(&value) == VARIANT_FALSE) {
            replay->Stop();
        } else if (!replay->Start(FullPath(settings.file), ReplayOptions{settings.speed, settings.loop}).Passed()) {
            result = E_FAIL;  // Status names every bad row
        }
        break;
    case ReplayControlKind::Status: return OPC_E_BADRIGHTS;
    }
    m_control.SetReplaySettings(settings);
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
        for (OPCS_Tag* tag : branch->SnapshotTags()) static_cast<ControlItem*>(tag)->SetWritable(enabled);
    }
    if (m_root != nullptr) {
        for (OPCS_TagGroup* folder : m_root->SnapshotGroups()) {
            for (OPCS_Tag* tag : folder->SnapshotTags()) static_cast<ControlItem*>(tag)->SetWritable(enabled);
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

std::vector<OPCS_TagGroup*> FaultControl::MadeBranches() const {
    std::vector<OPCS_TagGroup*> branches;
    for (const auto& [device, branch] : m_branches) branches.push_back(branch);
    if (m_root != nullptr) branches.push_back(m_root);
    return branches;
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

#include "COPCItem.h"

#include <cmath>
#include <cstring>

#include "OPCS_Device.h"
#include "CallbackBatch.h"
#include "FileTime.h"
#include "OpcConstants.h"
#include "OPCS_Tag.h"
#include "OPCS_TagGroup.h"
#include "SampleBuffer.h"
#include "Thread.h"

namespace {
bool ToDouble(const Variant& value, double& result) {
    if (value.Type() == VT_R8) {
        result = value.Ref().dblVal;
        return true;
    }
    Variant converted = value.ConvertedTo(VT_R8);
    if (converted.Type() != VT_R8) return false;
    result = converted.Ref().dblVal;
    return true;
}

// Exact equality of two values of the kinds tags hold: scalars by their bytes,
// strings by their characters, one-dimensional arrays by their elements.
bool SameValue(const VARIANT& a, const VARIANT& b) {
    if (V_VT(&a) != V_VT(&b)) return false;
    const VARTYPE type = V_VT(&a);
    if ((type & VT_ARRAY) != 0) {
        SAFEARRAY* x = V_ARRAY(&a);
        SAFEARRAY* y = V_ARRAY(&b);
        if (x == nullptr || y == nullptr) return x == y;
        if (x->cDims != 1 || y->cDims != 1 || x->cbElements != y->cbElements ||
            x->rgsabound[0].cElements != y->rgsabound[0].cElements || (type & ~VT_ARRAY) == VT_BSTR ||
            (type & ~VT_ARRAY) == VT_VARIANT) {
            return false;  // not compared: reported as changed
        }
        return std::memcmp(x->pvData, y->pvData, size_t{x->cbElements} * x->rgsabound[0].cElements) == 0;
    }
    switch (type) {
    case VT_EMPTY:
    case VT_NULL: return true;
    case VT_BSTR: {
        const UINT n = SysStringByteLen(V_BSTR(&a));
        return n == SysStringByteLen(V_BSTR(&b)) && (n == 0 || std::memcmp(V_BSTR(&a), V_BSTR(&b), n) == 0);
    }
    case VT_I1:
    case VT_UI1: return V_UI1(&a) == V_UI1(&b);
    case VT_I2:
    case VT_UI2:
    case VT_BOOL: return V_UI2(&a) == V_UI2(&b);
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR: return V_UI4(&a) == V_UI4(&b);
    case VT_R8:
    case VT_DATE:
    case VT_CY:
    case VT_I8:
    case VT_UI8: return V_UI8(&a) == V_UI8(&b);
    default: return false;
    }
}
}  // namespace

COPCItem::COPCItem(OPCS_Tag* tag, OPCHANDLE handle) : m_hServer(handle) {
    if (OPCS_Tag::IsStillValidTag(tag, m_u64TagCheckedAt)) {
        m_pTag = tag;
        const OPCS_Tag::ClientView view = m_pTag->AddClientView();
        m_vtRequested = m_vtAdded = view.type;
        m_bWritableAdded = view.writable;
        OPCS_Device* device = OPCS_TagGroup::IsValidGroup(view.owner) ? view.owner->GetDevice() : nullptr;
        if (OPCS_TagGroup::IsValidGroup(device)) m_pOwnerDevice = device;
    }
}

COPCItem::~COPCItem() {
    Deactivate();
    if (OPCS_Tag::IsStillValidTag(m_pTag, m_u64TagCheckedAt)) m_pTag->ReleaseClientReference();
    m_vValue.Clear();
    m_wQuality = 0;
    m_ftTimeStamp = FILETIME{};
    m_dwSignature = 0;
}

void COPCItem::SetRequestedType(VARTYPE type) { m_vtRequested = type == VT_EMPTY ? CanonicalType() : type; }

void COPCItem::SetRequestedTypeOfNew(VARTYPE type) noexcept { m_vtRequested = type == VT_EMPTY ? m_vtAdded : type; }

void COPCItem::CountChangesIn(ULONGLONG* count) noexcept {
    m_pChangeCount = count;
    if (m_bChanged && count != nullptr) m_ullChangedAt = ++*count;
}

void COPCItem::MarkChanged() noexcept {
    m_bChanged = true;
    if (m_pChangeCount != nullptr) m_ullChangedAt = ++*m_pChangeCount;
}

void COPCItem::Update() {
    TakeTagState();
    if (m_bChanged && m_pChangeCount != nullptr) m_ullChangedAt = ++*m_pChangeCount;
}

void COPCItem::TakeTagState() {
    m_bChanged = false;
    m_bAwaitingUpdate = false;
    // Inactive, the item leaves the callbacks; active again it is reported anew.
    if (!m_bActive) m_dwReportedGeneration = 0;
    const bool valid = OPCS_Tag::IsStillValidTag(m_pTag, m_u64TagCheckedAt);
    if (!valid || !m_bActive) {
        m_bStateTaken = false;
        m_ullCachedAt = 0;
    }
    if (!valid) {
        if (m_wQuality != OPC_QUALITY_CONFIG_ERROR) {
            m_wQuality = OPC_QUALITY_CONFIG_ERROR;
            m_bChanged = true;
            m_bUntold = true;
        }
        return;
    }
    if (!m_bActive) {
        if (m_wQuality != OPC_QUALITY_OUT_OF_SERVICE) {
            m_wQuality = OPC_QUALITY_OUT_OF_SERVICE;
            m_bChanged = true;
        }
        return;
    }
    m_pTag->RefreshBeforeRead();
    m_ullCachedAt = TickCountMs();
    // Most tags of a large group do not move between two scans: while the
    // tag's count stays, the state taken last is still the tag's, and only
    // the rule of what to report runs (no lock, no copy).
    const DWORD changes = m_pTag->ChangeCountNow();
    if (m_bStateTaken && changes == m_dwTakenChanges) {
        m_bChanged = m_vValue.IsEmpty() || (m_wQuality == OPC_QUALITY_GOOD && !m_bLimitsSet);
        return;
    }
    TagChangeState now = m_pTag->GetChangeState();
    TagState& state = now.state;
    const TagDeadband& deadband = now.deadband;
    m_bStateTaken = true;
    m_dwTakenChanges = changes;
    m_bLimitsSet = deadband.limitsSet;
    m_bUntold = true;
    if (!m_vValue.IsEmpty() && m_vValue.Type() != now.type) m_vValue.ChangeType(now.type);

    if (state.quality == OPC_QUALITY_GOOD) {
        if (!deadband.limitsSet) {
            m_vValue = state.value;
            m_bChanged = true;
        } else if (!m_vValue.IsEmpty()) {
            // Nothing cached yet is not a value of 0: the first value is taken
            // below whatever the deadband.
            double now = 0, before = 0;
            const bool numeric = ToDouble(state.value, now) && ToDouble(m_vValue, before);
            const double percent = m_bDeadbandSet ? double{m_fDeadband} : deadband.percent;
            if (!numeric || std::fabs(now - before) > percent * (deadband.high - deadband.low) * 0.01) {
                m_vValue = state.value;
                m_bChanged = true;
            }
        }
    }
    if (m_vValue.IsEmpty()) {
        m_vValue = std::move(state.value);
        m_ftTimeStamp = state.timestamp;
        m_wQuality = state.quality;
        m_bChanged = true;
        return;
    }
    if (state.quality != m_wQuality) {
        m_wQuality = state.quality;
        m_bChanged = true;
    }
    if (!(state.timestamp == m_ftTimeStamp)) {
        m_ftTimeStamp = state.timestamp;
        m_bChanged = true;
    }
}

OPCS_Device* COPCItem::BeginActivation() {
    // Whoever takes the device's requests checks that the device still lives.
    OPCS_Device* device =
        !m_bDeviceActive && OPCS_Tag::IsStillValidTag(m_pTag, m_u64TagCheckedAt) ? m_pOwnerDevice : nullptr;
    m_vValue.Clear();
    m_wQuality = 0;
    m_ftTimeStamp = FILETIME{};
    m_dwReportedGeneration = 0;
    m_bAwaitingUpdate = true;
    m_bStateTaken = false;
    m_ullCachedAt = 0;
    m_ullNextSampleAt = 0;
    return device;
}

void COPCItem::ConfirmActivation(OPCS_Device* device) noexcept {
    m_pDevice = device;
    m_bDeviceActive = true;
}

OPCS_Device* COPCItem::EndActivation() noexcept {
    if (!m_bDeviceActive) return nullptr;
    OPCS_Device* device = m_pDevice;
    m_pDevice = nullptr;
    m_bDeviceActive = false;
    return OPCS_TagGroup::IsValidGroup(device) ? device : nullptr;
}

void COPCItem::Activate() {
    // Only a request the device took is withdrawn later.
    if (OPCS_Device* device = BeginActivation();
        OPCS_TagGroup::IsValidGroup(device) && device->RequestPollStart(kPollOpcItems) != 0) {
        ConfirmActivation(device);
    }
}

void COPCItem::Deactivate() {
    if (OPCS_Device* device = EndActivation()) device->RequestPollStop(kPollOpcItems);
}

HRESULT COPCItem::WriteValue(const VARIANT& value) {
    if (!OPCS_Tag::IsStillValidTag(m_pTag, m_u64TagCheckedAt)) return OPC_E_BADTYPE;
    Variant copy(value);
    return m_pTag->ClientWrite(copy);
}

HRESULT COPCItem::WriteVqt(const VARIANT& value, const WORD* quality, const FILETIME* timestamp) {
    if (!OPCS_Tag::IsStillValidTag(m_pTag, m_u64TagCheckedAt)) return OPC_E_BADTYPE;
    Variant copy(value);
    return m_pTag->ClientWriteVqt(copy, quality, timestamp);
}

ItemReading COPCItem::Read(OPCDATASOURCE source) {
    // A read takes part in the 1.0a change rule as a scan does.
    if (source != OPC_DS_DEVICE || m_bActive) Update();
    if (source != OPC_DS_DEVICE) return Cached();
    return DeviceReading();
}

std::optional<ULONGLONG> COPCItem::CacheAge(ULONGLONG now) const noexcept {
    if (m_ullCachedAt == 0 || !m_bActive) return std::nullopt;
    return now >= m_ullCachedAt ? now - m_ullCachedAt : 0;
}

ItemReading COPCItem::DeviceReading() {
    ItemReading reading;
    reading.hClient = m_hClient;
    reading.requested = m_vtRequested;
    if (!OPCS_Tag::IsStillValidTag(m_pTag, m_u64TagCheckedAt)) {
        reading.quality = OPC_QUALITY_CONFIG_ERROR;
        return reading;
    }
    m_pTag->RefreshBeforeRead();
    TagState state = m_pTag->GetState();
    reading.value = std::move(state.value);
    reading.quality = state.quality;
    reading.timeStamp = state.timestamp;
    return reading;
}

ItemReading COPCItem::Cached() const {
    ItemReading reading;
    reading.hClient = m_hClient;
    reading.requested = m_vtRequested;
    reading.value = m_vValue;
    reading.quality = m_wQuality;
    reading.timeStamp = m_ftTimeStamp;
    return reading;
}

HRESULT ToRequestedType(const Variant& value, VARTYPE requested, Variant& out) {
    if (value.IsEmpty() || requested == VT_EMPTY || value.Type() == requested) {
        out = value;
        return S_OK;
    }
    HRESULT converted = S_OK;
    out = value.ConvertedTo(requested, &converted);
    if (SUCCEEDED(converted)) return S_OK;
    out.Clear();
    return OPC_E_BADTYPE;
}

bool COPCItem::TakeCallbackChange(DWORD generation) {
    // The cache an activation cleared is no state of the tag to report.
    if (m_bAwaitingUpdate) return false;
    // Nothing taken from the tag since the last report: nothing to compare.
    if (m_dwReportedGeneration == generation && !m_bUntold) return false;
    m_bUntold = false;
    if (m_dwReportedGeneration == generation && m_wReportedQuality == m_wQuality &&
        SameValue(m_vReported.Ref(), m_vValue.Ref())) {
        return false;
    }
    m_dwReportedGeneration = generation;
    m_wReportedQuality = m_wQuality;
    m_vReported = m_vValue;
    return true;
}

bool COPCItem::HasValidTag() const { return OPCS_Tag::IsStillValidTag(m_pTag, m_u64TagCheckedAt); }

DWORD COPCItem::DeviceResponseDelay() const {
    return HasValidTag() && OPCS_TagGroup::IsValidGroup(m_pOwnerDevice) ? m_pOwnerDevice->GetResponseDelay() : 0;
}

DWORD COPCItem::AddedAccessRights() const noexcept {
    return m_pTag == nullptr ? DWORD{OPC_READABLE}
                             : OPC_READABLE | (m_bWritableAdded ? DWORD{OPC_WRITEABLE} : DWORD{0});
}

DWORD COPCItem::AccessRights() const {
    if (!HasValidTag()) return OPC_READABLE;
    return OPC_READABLE | (m_pTag->GetAccessMode() == 1 ? DWORD{OPC_WRITEABLE} : DWORD{0});
}

VARTYPE COPCItem::CanonicalType() const { return HasValidTag() ? m_pTag->GetDataType() : VARTYPE{VT_EMPTY}; }

std::wstring COPCItem::ItemID() const { return HasValidTag() ? m_pTag->GetItemID() : std::wstring(); }

bool COPCItem::ValueLimits(double& low, double& high) const {
    if (!HasValidTag()) return false;
    const TagDeadband settings = m_pTag->GetDeadbandSettings();
    low = settings.low;
    high = settings.high;
    return settings.limitsSet;
}

bool COPCItem::IsAnalog() const {
    double low = 0, high = 0;
    return ValueLimits(low, high) && IsNumericType(CanonicalType());
}

void COPCItem::SetDeadband(float percent) noexcept {
    m_fDeadband = percent;
    m_bDeadbandSet = true;
}

void COPCItem::ClearDeadband() noexcept {
    m_bDeadbandSet = false;
    m_fDeadband = 0;
}

void COPCItem::SetSamplingRate(DWORD milliseconds) noexcept {
    m_dwSamplingRate = milliseconds;
    m_ullNextSampleAt = 0;  // the first sample at once
}

bool COPCItem::TakeSampleDue(ULONGLONG now) noexcept {
    if (m_dwSamplingRate == 0) return true;
    if (now < m_ullNextSampleAt) return false;
    // On the item's own beat while the thread keeps up; a late sample starts it anew.
    const ULONGLONG next = m_ullNextSampleAt + m_dwSamplingRate;
    m_ullNextSampleAt = m_ullNextSampleAt != 0 && next > now ? next : now + m_dwSamplingRate;
    return true;
}

void COPCItem::EnableBuffer(bool enable, SampleBudget& budget) {
    if (!enable) {
        if (m_pBuffer) m_pBuffer->Clear(budget);
        m_pBuffer.reset();
    } else if (!m_pBuffer) {
        m_pBuffer = std::make_unique<SampleBuffer>();
    }
}

void COPCItem::BufferChange(DWORD generation, SampleBudget& budget) {
    if (m_pBuffer && m_bActive && TakeCallbackChange(generation)) m_pBuffer->Push(Cached(), budget);
}

void COPCItem::MoveBufferTo(CallbackBatch& batch, SampleBudget& budget) {
    if (m_pBuffer) m_pBuffer->MoveTo(batch, budget);
}

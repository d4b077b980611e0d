#pragma once
// One item of an OPC group: a client's view of one tag, with the value,
// quality and timestamp last taken from it and the mark that says whether
// they are to be reported. Created and destroyed by its group, under the
// group's item lock; the tag cannot be deleted while the item holds its
// client reference.
#include <windows.h>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "OpcDa.h"
#include "Variant.h"

class CallbackBatch;
class OPCS_Device;
class OPCS_Tag;
class SampleBudget;
class SampleBuffer;

constexpr DWORD kItemSignature = 0x434F5043;

// An item's state as handed to a client, taken under its group's item lock
// and delivered after it.
struct ItemReading {
    OPCHANDLE hClient = 0;
    VARTYPE requested = VT_EMPTY;  // VT_EMPTY: the value's own type
    Variant value;
    WORD quality = 0;
    FILETIME timeStamp{};
};

// `value` in the `requested` type (as it is when empty or already so):
// OPC_E_BADTYPE, with `out` empty, when it does not convert.
HRESULT ToRequestedType(const Variant& value, VARTYPE requested, Variant& out);

class COPCItem {
public:
    // `tag` is kept only when it is a live tag; `handle` is the item's server handle.
    COPCItem(OPCS_Tag* tag, OPCHANDLE handle);
    ~COPCItem();
    COPCItem(const COPCItem&) = delete;
    COPCItem& operator=(const COPCItem&) = delete;

    // Takes the tag's current state by the change rule (deadband of tags
    // with value limits set); sets the change mark when it is to be reported.
    void Update();
    // Asks the tag's device to poll (once per item) and forgets the cached
    // state, so that the next Update reports the item.
    void Activate();
    void Deactivate();
    // Activation in two steps, so that a group asks each device once for all
    // its items: Begin forgets the cached state and gives the device to ask
    // (null when the item holds a request already or has none to make);
    // Confirm records the request the device took.
    OPCS_Device* BeginActivation();
    void ConfirmActivation(OPCS_Device* device) noexcept;
    // Gives up the item's request without withdrawing it: the device the
    // caller withdraws it from, or null.
    OPCS_Device* EndActivation() noexcept;
    // The tag's client write; false when the tag is gone or refuses.
    HRESULT WriteValue(const VARIANT& value);
    // The same with, where given, the quality and the timestamp: all or nothing.
    HRESULT WriteVqt(const VARIANT& value, const WORD* quality, const FILETIME* timestamp);

    // What a read gives: from the device the tag's own current state, whether
    // or not the item or its group is active; from the cache what Update
    // leaves (an inactive item's quality is 0x1C).
    ItemReading Read(OPCDATASOURCE source);
    // The cached state, as a subscription delivers it.
    ItemReading Cached() const;
    // The tag's own current state, the cache left as it is.
    ItemReading DeviceReading();
    // How long ago (at tick `now`) Update last took the tag's state into the
    // cache; none without a cache (inactive, or not yet updated since activation).
    std::optional<ULONGLONG> CacheAge(ULONGLONG now) const noexcept;
    // The 2.0 callbacks report by exception: true (and the state recorded as
    // reported) when the cached value or quality differs from what was last
    // reported in this `generation` of the group's callback connection.
    // Beside the 1.0a change mark, which every scan of a good tag sets.
    bool TakeCallbackChange(DWORD generation);

    OPCHANDLE ServerHandle() const noexcept { return m_hServer; }
    OPCHANDLE ClientHandle() const noexcept { return m_hClient; }
    void SetClientHandle(OPCHANDLE handle) noexcept { m_hClient = handle; }
    bool IsActive() const noexcept { return m_bActive; }
    void SetActive(bool active) noexcept { m_bActive = active; }
    // VT_EMPTY means the tag's canonical type.
    VARTYPE RequestedType() const noexcept { return m_vtRequested; }
    void SetRequestedType(VARTYPE type);
    // For an item just made: the tag's type and access as it was added, read
    // with its client reference (AddItems answers with them, without
    // asking the tag again).
    void SetRequestedTypeOfNew(VARTYPE type) noexcept;
    VARTYPE AddedType() const noexcept { return m_vtAdded; }
    DWORD AddedAccessRights() const noexcept;
    // True when the last Update found something to report.
    bool IsChanged() const noexcept { return m_bChanged; }
    // Each change of the item moves its group's count of changes (under the
    // group's item lock) and keeps the count it moved to: every advise
    // connection reports what changed after its own last report. A new item
    // counts as changed.
    void CountChangesIn(ULONGLONG* count) noexcept;
    ULONGLONG ChangedAt() const noexcept { return m_ullChangedAt; }
    // A client's write reached the tag: reported as a change.
    void MarkChanged() noexcept;

    const Variant& Value() const noexcept { return m_vValue; }
    WORD Quality() const noexcept { return m_wQuality; }
    FILETIME TimeStamp() const noexcept { return m_ftTimeStamp; }

    // Whether the item is a view of `tag`; compares only, never dereferences.
    bool IsOf(const OPCS_Tag* tag) const noexcept { return m_pTag == tag; }
    // The tag's properties; neutral values when the tag is gone.
    bool HasValidTag() const;
    // How long its device takes to answer a read from it or a write to it.
    DWORD DeviceResponseDelay() const;
    DWORD AccessRights() const;
    VARTYPE CanonicalType() const;
    std::wstring ItemID() const;
    // True with the value limits when the tag's limits are set.
    bool ValueLimits(double& low, double& high) const;

    // The client's own settings of the item (DA 3.0). A deadband of its own
    // replaces the tag's in the change rule; it acts, as the tag's does, on
    // analog items only: those whose value limits (the EU range) are set.
    bool IsAnalog() const;
    bool HasDeadband() const noexcept { return m_bDeadbandSet; }
    float Deadband() const noexcept { return m_fDeadband; }
    void SetDeadband(float percent) noexcept;
    void ClearDeadband() noexcept;
    // A sampling rate of its own (0: none, the item follows the group's
    // scans). Such an item is brought up to date only when its sample is due.
    DWORD SamplingRate() const noexcept { return m_dwSamplingRate; }
    void SetSamplingRate(DWORD milliseconds) noexcept;
    // Whether a sample is due at `now`, the next one then scheduled; always
    // true without a rate of its own.
    bool TakeSampleDue(ULONGLONG now) noexcept;
    ULONGLONG NextSampleAt() const noexcept { return m_ullNextSampleAt; }
    // Buffering keeps every change sampled between two OnDataChange calls.
    bool IsBuffered() const noexcept { return m_pBuffer != nullptr; }
    // Throws bad_alloc with nothing changed.
    void EnableBuffer(bool enable, SampleBudget& budget);
    // After an Update: a change due to the callback connection `generation`
    // joins the buffer.
    void BufferChange(DWORD generation, SampleBudget& budget);
    void MoveBufferTo(CallbackBatch& batch, SampleBudget& budget);

private:
    void TakeTagState();

    bool m_bChanged = true;
    ULONGLONG* m_pChangeCount = nullptr;
    ULONGLONG m_ullChangedAt = 0;
    DWORD m_dwReportedGeneration = 0;  // 0: nothing reported since (re)activation
    bool m_bAwaitingUpdate = false;    // activated, and not yet taken from the tag
    // The tag's change count when its state was last taken into the cache
    // (valid while m_bStateTaken), with whether it had value limits then.
    bool m_bStateTaken = false;
    DWORD m_dwTakenChanges = 0;
    bool m_bLimitsSet = false;
    bool m_bUntold = true;  // state taken since the last callback compare
    Variant m_vReported;
    WORD m_wReportedQuality = 0;
    bool m_bActive = false;
    OPCHANDLE m_hClient = 0;
    VARTYPE m_vtRequested = VT_EMPTY;
    VARTYPE m_vtAdded = VT_EMPTY;  // the tag's when the item was made
    bool m_bWritableAdded = false;
    Variant m_vValue;
    WORD m_wQuality = 0;
    FILETIME m_ftTimeStamp{};
    OPCS_Tag* m_pTag = nullptr;
    mutable std::atomic<std::uint64_t> m_u64TagCheckedAt{0};  // see OPCS_Tag::IsStillValidTag
    bool m_bDeviceActive = false;
    OPCS_Device* m_pDevice = nullptr;  // the device that took the poll request
    // The tag's device, found once: the item's client reference keeps the tag,
    // and so its device, from being deleted for the item's life.
    OPCS_Device* m_pOwnerDevice = nullptr;
    ULONGLONG m_ullCachedAt = 0;  // tick of the last Update that took the tag's state; 0: no cache
    bool m_bDeadbandSet = false;
    float m_fDeadband = 0;
    DWORD m_dwSamplingRate = 0;
    ULONGLONG m_ullNextSampleAt = 0;
    std::unique_ptr<SampleBuffer> m_pBuffer;
    DWORD m_dwSignature = kItemSignature;
    const OPCHANDLE m_hServer;
};

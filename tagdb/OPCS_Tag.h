#pragma once
// A tag: one named data point with its value, quality, timestamp and the
// engineering settings (limits, scaling, deadband) that shape the value.
#include <windows.h>
#include <atomic>
#include <memory>
#include <string>

#include "AlarmCondition.h"
#include "CriticalSection.h"
#include "SlimLock.h"
#include "HistoryTypes.h"
#include "OpcConstants.h"
#include "Variant.h"

class Configuration;
class HistorySeries;
class HistoryStore;
class OPCS_Device;
class OPCS_TagGroup;

constexpr DWORD kTagSignature = 0x4F504354;  // "TCPO" in memory
constexpr wchar_t kItemIdSeparator = L'.';

// Value, quality and timestamp read together under the tag's lock.
struct TagState {
    Variant value;
    WORD quality = 0;
    FILETIME timestamp{};
};

// The settings of the change rule, read together under the tag's lock.
struct TagDeadband {
    bool limitsSet = false;
    double percent = 0;
    double low = 0, high = 0;
};

// What an OPC item's change rule reads of its tag, in one visit of the lock.
struct TagChangeState {
    TagState state;
    VARTYPE type = VT_EMPTY;
    TagDeadband deadband;
};

// The four simulation settings; what they mean is in SimulatedSignal.h.
struct TagSimulation {
    bool enabled = false;
    DWORD kind = 1;
    DWORD step = 0;
    DWORD period = 10;  // in ticks of 100 ms
    bool operator==(const TagSimulation&) const = default;
};

// Every stored setting of a tag but its name and the product's fixed codes,
// read or placed in one visit of the lock (tag import and export).
struct TagSettings {
    VARTYPE type = VT_R8;
    DWORD access = 1;
    std::wstring description;
    Variant value;
    WORD quality = 0;
    FILETIME timestamp{};
    bool valueLimitsSet = false;
    double valueLow = 0, valueHigh = 0;
    bool rawLimitsSet = false;
    double rawLow = 0, rawHigh = 0;
    bool scalingSet = false;
    double scaleOffset = 0, scaleFactor = 0;
    double deadband = 0;
    bool isVolatile = false;
    TagSimulation simulation;
    AlarmSettings alarm;
    bool historize = false;
};

// What the tag dialog sets, applied in one visit of the lock (ApplyEdit): a
// reader never meets the value of one setting with the type of another.
struct TagEdit {
    std::wstring description;
    VARTYPE type = VT_R8;
    DWORD access = 1;
    bool limitValues = false;  // off clears the value limits
    double low = 0, high = 0;  // ignored unless low <= high
    double deadband = 0;       // ignored outside 0 to 100
    TagSimulation simulation;
    Variant value;  // becomes the value, Good and stamped now
    // Taken when CheckAlarmSettings accepts it for `type`; else the alarm goes.
    AlarmSettings alarm;
    bool historize = false;
};

// An alarmed tag's alarm: held only by tags that have one.
struct TagAlarm {
    AlarmSettings settings;
    AlarmCondition condition;
    // The device this alarm asked to poll, until it lets go again.
    OPCS_Device* pollDevice = nullptr;
};

// A historized tag's recording: held only while it records (historized,
// and in a configuration).
struct TagHistory {
    std::shared_ptr<HistorySeries> series;
    HistoryStore* store = nullptr;
    HistorySample last;                 // the last sample recorded
    FILETIME seenTimestamp{};           // the tag's timestamp when it was recorded
    OPCS_Device* pollDevice = nullptr;  // as TagAlarm's
};

class OPCS_Tag {
public:
    OPCS_Tag();
    virtual ~OPCS_Tag();
    virtual void Serialize(class Archive& archive);  // the configuration file record
    OPCS_Tag(const OPCS_Tag&) = delete;
    OPCS_Tag& operator=(const OPCS_Tag&) = delete;

    virtual void SetDescription(const std::wstring& text);
    virtual void SetQuality(WORD quality);
    virtual std::wstring GetQualityText();
    virtual bool SetValueNow(const Variant& value);
    virtual bool SetValue(const Variant& value, WORD quality, FILETIME time);
    // A volatile tag loses its value with `quality` (its device stopped or
    // started polling, or went out of service).
    void InvalidateIfVolatile(WORD quality);
    virtual std::wstring GetValueText();
    // A client's write: refused unless the tag is Read/Write, then WriteValue.
    virtual bool WriteFromClient(Variant& value);
    // The same with the OPC result of each refusal.
    virtual HRESULT ClientWrite(Variant& value);
    // The same, answering OPC_S_CLAMP when a limit cut the value written.
    HRESULT ClientWriteReportingClamp(Variant& value);
    // A client's write of a value with, where given, its quality and its
    // timestamp (DA 3.0 WriteVQT, a UA write of StatusCode or
    // SourceTimestamp): all or nothing. With neither, ClientWriteReportingClamp.
    // With either: OPC_E_NOTSUPPORTED, nothing written, unless the tag's
    // configuration lets clients write them; E_INVALIDARG for a quality
    // above the low byte or a timestamp with its top bit set; then
    // ClientWrite's checks and results (OPC_S_CLAMP included). What is not
    // given is as any write has it: Good, now. The quality written is the
    // tag's own: a forcing in effect still wins until it is lifted.
    HRESULT ClientWriteVqt(Variant& value, const WORD* quality, const FILETIME* timestamp);
    // WriteValue with the quality and timestamp a client gave, placed as
    // SetValue places them: S_OK, or OPC_E_BADTYPE for a value the tag cannot
    // take. OPC_E_NOTSUPPORTED here: a tag whose value mirrors something else
    // (a control item) has no quality of its own to keep.
    virtual HRESULT WriteQualifiedValue(Variant& value, WORD quality, FILETIME timestamp);
    // Called before a client reads the tag: a tag that mirrors another
    // setting takes it up here.
    virtual void RefreshBeforeRead() {}
    // GetChangeCount without the lock: a reader that saw this count before
    // taking the state may skip the tag while the count stays.
    DWORD ChangeCountNow() const noexcept { return m_changes.load(std::memory_order_acquire); }
    // The value path of a client write without the access check (the
    // simulated signals use it on Read Only tags too).
    virtual bool WriteValue(Variant& value) = 0;
    virtual std::wstring GetRawValueText();
    virtual Variant RawToEngineering(const Variant& raw);
    virtual void SetDataType(VARTYPE type);
    virtual std::wstring GetItemID();
    virtual int GetIconIndex();
    virtual void ClampToValueLimits(Variant& value);
    virtual void ClampToRawLimits(Variant& value);

    std::wstring GetName() const;
    Variant GetValue();
    WORD GetQuality();
    TagState GetState();
    void Rename(std::wstring text);
    // An edit of the tag's properties dialog: its name (unique in its owner)
    // and every setting, the latter in one step under the tag's lock.
    void ApplyProperties(std::wstring name, const TagEdit& edit);
    std::wstring GetTimestampText();
    std::wstring GetAccessText();
    void EnableValueLimits(bool enable);
    void EnableRawLimits(bool enable);
    void EnableScaling(bool enable);
    void SetValueLimits(double low, double high);
    void SetRawLimits(double low, double high);
    void ClearValueLimits();
    void SetScaling(double offset, double factor);
    void SetDeadband(double percent);
    // Stores the settings and tells the owning device's schedule.
    void SetSimulation(const TagSimulation& simulation);
    // Everything the tag dialog sets but the name, as the separate setters
    // would in the dialog's order; false when the value does not convert to
    // the type (it is then left empty with Bad quality).
    bool ApplyEdit(const TagEdit& edit);

    static bool IsValidTag(const void* pointer);
    // IsValidTag for a pointer that passed it before: `checkedAt` holds one
    // more than the count of tag removals at its last pass (0: none yet).
    // While no tag has been removed since, it is still good without a
    // lookup: a scan of 10,000 items otherwise misses the cache on each.
    static bool IsStillValidTag(const void* pointer, std::atomic<std::uint64_t>& checkedAt);

    // The tag's own forced quality (kNotForced clears it); false when the
    // quality is not one that may be forced. Every read of the quality, the
    // value text and the OPC items' reads give the quality in effect.
    bool ForceQuality(int quality);
    int GetForcedQuality();
    // The forcing in effect: the tag's own, else its groups' or its device's.
    int GetForcedQualityInEffect();
    // A forcing above the tag changed: views redraw it.
    void NoteForcingChanged();

    // Read access for the views, dialogs and OPC items (each under the lock).
    std::wstring GetDescription();
    VARTYPE GetDataType();
    DWORD GetAccessMode();
    FILETIME GetTimestamp();
    bool IsVolatile();
    bool IsLocked();
    // Counts every change of value, quality, type, name or description: a
    // view redraws what changed since it last looked.
    DWORD GetChangeCount();
    bool AreValueLimitsEnabled();
    bool AreValueLimitsSet();
    double GetValueLowLimit();
    double GetValueHighLimit();
    double GetDeadband();
    TagDeadband GetDeadbandSettings();
    TagChangeState GetChangeState();
    TagSimulation GetSimulation();
    bool IsSimulated() const noexcept { return m_simulationEnabled.load(std::memory_order_relaxed); }
    TagSettings GetSettings();
    // Places the settings as a file load does (the value as it stands, the
    // limit, raw and scaling flags enabled with what they set).
    void PlaceSettings(const TagSettings& settings);
    LONG GetClientReferenceCount();
    DWORD GetReserved();
    OPCS_TagGroup* GetOwner();

    // Counted by the OPC items and the device's polling run.
    LONG AddClientReference();
    // A client's reference with what its new item reads of the tag, under one lock.
    struct ClientView {
        VARTYPE type;
        bool writable;
        OPCS_TagGroup* owner;
    };
    ClientView AddClientView();
    LONG ReleaseClientReference();
    void SetLocked(bool locked);
    void SetVolatile(bool isVolatile);
    void SetAccessMode(DWORD mode);

    // Set and cleared by the owning group, which holds its own lock meanwhile.
    void SetOwner(OPCS_TagGroup* owner);

    CriticalSection& Lock() noexcept { return m_lock; }

    // The alarm (kind None: none); read and set under the tag's lock. Set is
    // false, with nothing changed, when CheckAlarmSettings refuses the
    // settings for the tag's type; otherwise the condition is judged afresh
    // (an event) or, for kind None, removed (its last event).
    AlarmSettings GetAlarmSettings();
    bool SetAlarmSettings(const AlarmSettings& settings);
    // Read without the lock, so that walks over every tag skip those without.
    bool HasAlarm() const noexcept { return m_hasAlarm.load(std::memory_order_acquire); }
    // The condition as an event-shaped snapshot (its number the latest
    // event's); false without an alarm, or when `retainedOnly` and not retained.
    bool GetAlarmSnapshot(AlarmEvent& snapshot, bool retainedOnly);
    // An operator's or client's command; a successful one is one event.
    AlarmCommandResult ApplyAlarmCommand(AlarmCommandKind kind, std::uint64_t eventNumber, const std::wstring& comment,
                                         const std::wstring& user);
    // The condition's last event (cause Removed) as the tag leaves its
    // configuration, told while the tag still has its item ID. Returns the
    // device the alarm asked to poll, for the caller to let go (ReleaseAlarmPoll)
    // once no group's lock is held, or null.
    OPCS_Device* RetireAlarm();
    static void ReleaseAlarmPoll(OPCS_Device* device);
    // Tells the configuration's observer the condition's latest event again
    // (a file loaded or tags imported: the first judgement had no observer).
    void AnnounceAlarm();
    // Makes the alarm's poll request of its device, or lets it go, as the
    // alarm, its enabling and the configuration's alarm polling now say.
    // Takes the device's lock: never called with a tag's or group's lock held.
    void SyncAlarmPolling();

    // Historizing: every change of the value, the quality in effect or the
    // timestamp is recorded into the configuration's history, from the tag's
    // state when recording begins (set on, or the tag joins a configuration).
    // Read without the lock, so that walks over every tag skip the others.
    bool IsHistorized() const noexcept { return m_historize.load(std::memory_order_acquire); }
    void SetHistorize(bool on);
    // The tag's history; null while it records none.
    std::shared_ptr<HistorySeries> History();
    // A value of the tag's `type` as a series of `kind` keeps it (no time or
    // quality): what recording takes from the tag, so that values written
    // into the history by other roads read back the same.
    static HistorySample HistorySampleOf(const Variant& value, VARTYPE type, HistoryValueKind kind);
    // Begins or ends the recording and its poll request (as the alarms' is
    // made: while the configuration's alarm polling is on) as the setting
    // and the configuration now say. Takes the device's lock: never called
    // with a tag's or group's lock held.
    void SyncHistory();
    // The tag leaves its configuration: lets go of its history. Returns the
    // device to let go of (ReleaseAlarmPoll), or null.
    OPCS_Device* RetireHistory();

protected:
    friend class OPCS_TagGroup;
    // The rename itself, once the owner has checked the name (lock held).
    void ApplyRename(std::wstring name);
    // The configuration the owner's tree reports to, or null (caller holds the lock).
    Configuration* OwnerConfiguration() const noexcept;
    // Marks the configuration modified when owned (caller holds the lock).
    void MarkModifiedIfOwned();
    void MarkValueModifiedIfOwned();
    // Counts a change for the views and tells the configuration's observer;
    // `shape` when what clients see of the tag besides its value changed
    // (name, type, access, description). Caller holds the lock.
    void CountChange(bool shape = false);
    void StoreName(std::wstring name);
    // The quality readers see (lock held): the forcing in effect, else the tag's own.
    WORD QualityInEffect() const;
    int ForcedQualityInEffect() const;
    // Takes the simulation settings (lock held); false when they were so already.
    bool AssignSimulation(const TagSimulation& simulation);
    // The alarm's side of a change (lock held): judges the condition and
    // tells the configuration's observer of an event.
    void EvaluateAlarm(AlarmEventCause cause);
    void NotifyAlarm(AlarmEventCause cause);
    // Takes alarm settings already checked for the tag's type, or kind None
    // (lock held). Returns the device whose poll request the caller lets go
    // once the lock is released, or null.
    OPCS_Device* PlaceAlarm(const AlarmSettings& settings);
    // Removes an alarm that no longer suits the tag's type (lock held); as PlaceAlarm.
    OPCS_Device* DropAlarmIfUnfit();
    // The history's side of a change (lock held, from CountChange).
    void RecordHistory();
    // A new series in `store` with the tag's state now as its first sample (lock held).
    void BeginHistory(HistoryStore& store);
    HistorySample HistorySampleNow(HistoryValueKind kind) const;

    mutable SlimLock m_nameLock;  // leaf lock: guards only the name
    std::wstring m_name = L"Tag";
    std::wstring m_description = L"New Tag";
    LONG m_iconIndex = 0;
    DWORD m_classCode = 0;
    DWORD m_reserved = 0;
    // Moved under the lock by every change of what a reader sees (value,
    // quality, time, type, limits, deadband, forcing); read without it.
    std::atomic<DWORD> m_changes{0};
    bool m_volatile = true;
    bool m_valueLimitsEnabled = false;
    bool m_rawLimitsEnabled = false;
    bool m_scalingEnabled = false;
    // Read without the lock by a device's schedule, which asks every tag of
    // the device at each start and would otherwise lock each one.
    std::atomic<bool> m_simulationEnabled{false};
    bool m_valueLimitsSet = false;
    bool m_rawLimitsSet = false;
    bool m_scalingSet = false;
    bool m_locked = false;
    WORD m_quality = OPC_QUALITY_UNCERTAIN;
    int m_forcedQuality = -1;  // kNotForced
    DWORD m_simulationStep = 0;
    DWORD m_simulationPeriod = 10;
    LONG m_clientReferences = 0;
    Variant m_value;
    Variant m_rawValue;
    FILETIME m_timestamp{};
    OPCS_TagGroup* m_owner = nullptr;
    DWORD m_accessMode = 0;
    DWORD m_simulationKind = 1;
    DWORD m_dataType = VT_EMPTY;
    CriticalSection m_lock;
    double m_valueLow = 0, m_valueHigh = 0;
    double m_rawLow = 0, m_rawHigh = 0;
    double m_scaleOffset = 0, m_scaleFactor = 0;
    double m_deadband = 0;
    DWORD m_signature = kTagSignature;
    // Null for a tag without an alarm, so that those cost one pointer.
    std::unique_ptr<TagAlarm> m_alarm;
    std::atomic<bool> m_hasAlarm{false};
    std::atomic<bool> m_historize{false};
    std::unique_ptr<TagHistory> m_history;

    friend class TagRecord;  // the configuration file's reader and writer
};

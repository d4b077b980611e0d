#pragma once
// Faults through OPC itself, for clients under test: below every device a
// branch `_Control` of control items that a client writes to force the
// device's quality, take it out of service, slow its answers, freeze its
// values or storm its alarms. The items exist for clients only while the option allows it; they
// are not part of the configuration (not saved, exported or shown in the
// tree), and a forced quality never reaches them.
//
// Every method of FaultControl is called under the configuration lock.
#include <atomic>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "CriticalSection.h"
#include "OPCS_Device.h"
#include "OPCS_Tag.h"
#include "OPCS_TagGroup.h"
#include "ReservedNames.h"

class ValueReplay;

enum class ControlKind { Quality, InService, ResponseDelayMs, Freeze, AlarmStorm };
enum class ReplayControlKind { File, Speed, Loop, Run, Status };

class FaultControl;

// A control item: its value mirrors the setting it controls; a client's write
// changes that setting, applied only when the whole value is sound.
class ControlItem : public OPCS_Tag {
public:
    bool WriteValue(Variant& value) final { return ClientWrite(value) == S_OK; }
    HRESULT ClientWrite(Variant& value) final;
    void RefreshBeforeRead() final;
    void SetWritable(bool writable);

protected:
    ControlItem(FaultControl& control, const wchar_t* name, VARTYPE type, const wchar_t* description, bool readOnly);
    // The setting now; false when what it controls has gone.
    virtual bool Setting(Variant& now) const = 0;
    // Applies a value already in the item's type.
    virtual HRESULT Apply(const VARIANT& value) = 0;

    FaultControl& m_control;

private:
    const VARTYPE m_type;
    const bool m_readOnly;
};

// A device's control item.
class ControlTag final : public ControlItem {
public:
    ControlTag(FaultControl& control, OPCS_Device* device, ControlKind kind);
    // Its device went: it answers nothing more.
    void Retire() noexcept { m_retired.store(true); }

private:
    bool Setting(Variant& now) const override;
    HRESULT Apply(const VARIANT& value) override;
    OPCS_Device* LiveDevice() const;

    OPCS_Device* const m_device;
    const ControlKind m_kind;
    std::atomic<bool> m_retired{false};
};

// The `_Control` branch of one device: outside the device's own lists, with
// the device's item-ID path.
class ControlBranch final : public OPCS_TagGroup {
public:
    ControlBranch(FaultControl& control, OPCS_Device* device);
    std::wstring GetPath() override;
    OPCS_Device* GetDevice() override { return nullptr; }  // nothing to poll, nothing to save
    OPCS_Device* ControlledDevice() const noexcept { return m_device; }

private:
    OPCS_Device* const m_device;
};

// A control item of the value replay, below `_Control.Replay` at the root:
// File, Speed and Loop set up the next run; writing Run true checks the file
// and plays it (false stops it); Status says what it does or why it refused.
class ReplayControlTag final : public ControlItem {
public:
    ReplayControlTag(FaultControl& control, ReplayControlKind kind);

private:
    bool Setting(Variant& now) const override;
    HRESULT Apply(const VARIANT& value) override;

    const ReplayControlKind m_kind;
};

// A branch of control items outside every device: nothing to poll or save.
class ControlFolder final : public OPCS_TagGroup {
public:
    explicit ControlFolder(const wchar_t* name) { StoreName(name); }
    OPCS_Device* GetDevice() override { return nullptr; }
};

class FaultControl {
public:
    FaultControl() = default;
    ~FaultControl();
    FaultControl(const FaultControl&) = delete;
    FaultControl& operator=(const FaultControl&) = delete;

    // Off: the items are unknown to new clients, and refuse writes of those
    // that hold them already.
    void SetEnabled(bool enabled);
    bool IsEnabled() const noexcept { return m_enabled.load(); }

    // The control item at `relativeId` of `device` ("_Control.Quality"), or
    // null when the ID names none or the option is off.
    OPCS_Tag* FindTag(OPCS_Device* device, std::wstring_view relativeId);
    // The device's branch (made on first use), or null when the option is off.
    OPCS_TagGroup* BranchOf(OPCS_Device* device);
    // The device's branch if it was made, whatever the option.
    OPCS_TagGroup* BranchIfMade(OPCS_Device* device) const;
    // Every branch made so far, the root's included.
    std::vector<OPCS_TagGroup*> MadeBranches() const;
    // The device whose branch `group` is, or null.
    OPCS_Device* DeviceOfBranch(const OPCS_TagGroup* group) const;
    // The device goes: its branch stays alive, unreachable, for the clients
    // that still hold its items (they read a configuration error).
    void Forget(OPCS_Device* device);
    void ForgetAll();

    // The root's `_Control` branch (made on first use), or null when the
    // option is off; its items drive the value replay.
    OPCS_TagGroup* RootBranch();
    bool IsRootBranch(const OPCS_TagGroup* group) const noexcept { return group != nullptr && group == m_root; }
    // The item at `relativeId` below the root's `_Control` branch ("Replay.Run").
    OPCS_Tag* FindRootTag(std::wstring_view relativeId);
    void SetReplay(ValueReplay* replay) noexcept { m_replay = replay; }

    // The next replay's settings, as clients wrote them.
    struct ReplaySettings {
        std::wstring file;
        double speed = 1;
        bool loop = false;
    };
    ReplaySettings GetReplaySettings() const;
    void SetReplaySettings(const ReplaySettings& settings);
    ValueReplay* Replay() const noexcept { return m_replay; }

private:
    std::atomic<bool> m_enabled{false};
    std::unordered_map<OPCS_Device*, ControlBranch*> m_branches;
    std::vector<ControlBranch*> m_retired;
    ControlFolder* m_root = nullptr;
    ValueReplay* m_replay = nullptr;
    mutable CriticalSection m_settingsLock;  // leaf lock: the replay settings only
    ReplaySettings m_replaySettings;
};

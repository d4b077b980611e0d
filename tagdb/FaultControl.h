#pragma once
// Faults through OPC itself, for clients under test: below every device a
// branch `_Control` of control items that a client writes to force the
// device's quality, take it out of service, slow its answers or freeze its
// values. The items exist for clients only while the option allows it; they
// are not part of the configuration (not saved, exported or shown in the
// tree), and a forced quality never reaches them.
//
// Every method of FaultControl is called under the configuration lock.
#include <atomic>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "OPCS_Tag.h"
#include "OPCS_TagGroup.h"

class OPCS_Device;

inline constexpr wchar_t kControlBranchName[] = L"_Control";
// The longest response delay a client may set, so that a slowed device still
// answers within a client's usual call time-out.
inline constexpr DWORD kMaxResponseDelayMs = 60000;

enum class ControlKind { Quality, InService, ResponseDelayMs, Freeze };

class FaultControl;

// A control item: its value mirrors the device's setting; a write changes it.
class ControlTag final : public OPCS_Tag {
public:
    ControlTag(FaultControl& control, OPCS_Device* device, ControlKind kind);

    bool WriteValue(Variant& value) override;
    HRESULT ClientWrite(Variant& value) override;
    void RefreshBeforeRead() override;
    void SetWritable(bool writable);
    // Its device went: it answers nothing more.
    void Retire() noexcept { m_retired.store(true); }

private:
    OPCS_Device* LiveDevice() const;
    Variant DeviceSetting(OPCS_Device& device) const;

    FaultControl& m_control;
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
    // The device whose branch `group` is, or null.
    OPCS_Device* DeviceOfBranch(const OPCS_TagGroup* group) const;
    // The device goes: its branch stays alive, unreachable, for the clients
    // that still hold its items (they read a configuration error).
    void Forget(OPCS_Device* device);
    void ForgetAll();

private:
    std::atomic<bool> m_enabled{false};
    std::unordered_map<OPCS_Device*, ControlBranch*> m_branches;
    std::vector<ControlBranch*> m_retired;
};

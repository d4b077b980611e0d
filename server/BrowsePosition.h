#pragma once
// A place in the address space: a device or tag group of the configuration,
// or the root (null), the list of devices. Every position is registered
// process-wide, so that a device or group about to be deleted can take every
// position at or below it away first: a server object's position returns to
// the root, an enumerator's position is lost.
//
// A position only ever designates a live object of the configuration: it is
// set and copied under the configuration lock, and the configuration reports
// each deletion under that same lock before the object goes. Whoever dereferences
// the designated group must hold the configuration lock too.
#include <string_view>
#include <vector>

#include "OPCS_TagGroup.h"

class Configuration;

// The branches below a browse position: a group's sub-groups and, for a device
// while fault control is on, its control branch. The caller holds the
// configuration lock.
std::vector<OPCS_TagGroup*> BranchesBelow(Configuration& configuration, OPCS_TagGroup* group);
// The branches at the root: the devices and, while fault control is on, the
// control branch beside them. The caller holds the configuration lock.
std::vector<OPCS_TagGroup*> BranchesAtRoot(Configuration& configuration);
// The branch a fully qualified name designates ("Pump1.Valves.Inlet", in any
// letter case), or null when it names none. The caller holds the
// configuration lock.
OPCS_TagGroup* BranchNamed(Configuration& configuration, std::wstring_view itemId);
// The position above `group`: its parent, the device of a control branch, or
// null for the root. The caller holds the configuration lock.
OPCS_TagGroup* PositionAbove(Configuration& configuration, OPCS_TagGroup* group);

class BrowsePosition {
public:
    enum class OnDelete { ReturnToRoot, Lose };

    // Neither constructor allocates, so neither can fail.
    BrowsePosition(OnDelete rule, Configuration& configuration) noexcept;
    // Same place (and lost state) as `other`, with its own rule.
    BrowsePosition(OnDelete rule, const BrowsePosition& other) noexcept;
    ~BrowsePosition();
    BrowsePosition(const BrowsePosition&) = delete;
    BrowsePosition& operator=(const BrowsePosition&) = delete;

    // The designated group, null at the root (and when lost).
    OPCS_TagGroup* Group() const;
    // True once the designated group was deleted (rule Lose only).
    bool IsLost() const;
    // Moves to a group that the caller found in the configuration while
    // holding the configuration lock (null: the root). Clears the lost state.
    void MoveTo(OPCS_TagGroup* group);

    Configuration& GetConfiguration() const noexcept { return m_configuration; }

    // Called by the configuration under its lock before it deletes
    // `object` with everything below it.
    static void OnGroupDeleting(OPCS_TagGroup* object);

private:
    void Register() noexcept;

    const OnDelete m_rule;
    Configuration& m_configuration;
    OPCS_TagGroup* m_group = nullptr;
    bool m_lost = false;
    // Links of the process-wide registry.
    BrowsePosition* m_previous = nullptr;
    BrowsePosition* m_next = nullptr;
};

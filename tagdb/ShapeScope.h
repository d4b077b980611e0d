#pragma once
// Where a change of the tree's shape happened, for observers that mirror the
// tree and would rather not walk all of it: the direct members of one group
// (its tags and sub-groups, their names and settings), the device list, or
// anything at all. The pointers are for comparison and for a check under the
// configuration lock (IsValidGroup): an observer hears of them only later.
class OPCS_TagGroup;

struct ShapeScope {
    enum class Kind { Everything, Devices, Group };
    Kind kind = Kind::Everything;
    OPCS_TagGroup* group = nullptr;    // Kind::Group: whose direct members changed
    OPCS_TagGroup* removed = nullptr;  // a group or device deleted with all below it

    static ShapeScope Everything() noexcept { return {}; }
    static ShapeScope Devices(OPCS_TagGroup* removedDevice = nullptr) noexcept {
        return {Kind::Devices, nullptr, removedDevice};
    }
    static ShapeScope Members(OPCS_TagGroup* of, OPCS_TagGroup* removedGroup = nullptr) noexcept {
        return {Kind::Group, of, removedGroup};
    }
};

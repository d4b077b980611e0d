#pragma once
// The program's list: an ordered list with a name and a cursor. Nodes are
// stable handles (removal of one never invalidates another), so owners can
// index them by name.
#include <cstddef>
#include <list>
#include <string>
#include <utility>

template <class T>
class Dll {
    using Storage = std::list<T>;

public:
    using Node = typename Storage::iterator;
    using ConstNode = typename Storage::const_iterator;

    explicit Dll(std::wstring name = {}) : name_(std::move(name)), cursor_(items_.end()) {}
    Dll(const Dll&) = delete;
    Dll& operator=(const Dll&) = delete;

    // Links a node at the end; the first node of an empty list becomes the cursor.
    Node Append(T element) {
        const bool wasEmpty = items_.empty();
        Node node = items_.insert(items_.end(), std::move(element));
        if (wasEmpty || cursor_ == items_.end()) {
            cursor_ = node;
        }
        return node;
    }

    // Unlinks a node and gives its element; the cursor moves past it.
    T Remove(Node node) {
        if (cursor_ == node) {
            cursor_ = std::next(node);
            if (cursor_ == items_.end() && items_.size() > 1) {
                cursor_ = items_.begin();  // circular: past the last is the head
            }
        }
        T element = std::move(*node);
        items_.erase(node);
        if (items_.empty()) {
            cursor_ = items_.end();
        }
        return element;
    }

    // Appends every element, in order, to another list.
    void CopyInto(Dll& other) const {
        for (const T& element : items_) {
            other.Append(element);
        }
    }

    void Clear() {
        items_.clear();
        cursor_ = items_.end();
    }

    int Count() const noexcept { return static_cast<int>(items_.size()); }
    bool IsEmpty() const noexcept { return items_.empty(); }
    const std::wstring& Name() const noexcept { return name_; }

    bool HasCursor() const noexcept { return cursor_ != items_.end(); }
    Node Cursor() noexcept { return cursor_; }
    Node Head() noexcept { return items_.begin(); }
    bool IsHead(ConstNode node) const noexcept { return node == items_.begin(); }
    bool IsLast(ConstNode node) const noexcept { return !items_.empty() && node == std::prev(items_.end()); }

    Node begin() noexcept { return items_.begin(); }
    Node end() noexcept { return items_.end(); }
    ConstNode begin() const noexcept { return items_.begin(); }
    ConstNode end() const noexcept { return items_.end(); }

private:
    std::wstring name_;
    Storage items_;
    Node cursor_;
};

template <class T>
using DllNode = typename Dll<T>::Node;

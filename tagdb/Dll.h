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

    explicit Dll(std::wstring name = {}) : m_name(std::move(name)), m_cursor(m_items.end()) {}
    Dll(const Dll&) = delete;
    Dll& operator=(const Dll&) = delete;

    // Links a node at the end; the first node of an empty list becomes the cursor.
    Node Append(T element) {
        const bool wasEmpty = m_items.empty();
        Node node = m_items.insert(m_items.end(), std::move(element));
        if (wasEmpty || m_cursor == m_items.end()) {
            m_cursor = node;
        }
        return node;
    }

    // Unlinks a node and gives its element; the cursor moves past it.
    T Remove(Node node) {
        if (m_cursor == node) {
            m_cursor = std::next(node);
            if (m_cursor == m_items.end() && m_items.size() > 1) {
                m_cursor = m_items.begin();  // circular: past the last is the head
            }
        }
        T element = std::move(*node);
        m_items.erase(node);
        if (m_items.empty()) {
            m_cursor = m_items.end();
        }
        return element;
    }

    // Appends every element, in order, to another list.
    void CopyInto(Dll& other) const {
        for (const T& element : m_items) {
            other.Append(element);
        }
    }

    void Clear() {
        m_items.clear();
        m_cursor = m_items.end();
    }

    int Count() const noexcept { return static_cast<int>(m_items.size()); }
    bool IsEmpty() const noexcept { return m_items.empty(); }
    const std::wstring& Name() const noexcept { return m_name; }

    bool HasCursor() const noexcept { return m_cursor != m_items.end(); }
    Node Cursor() noexcept { return m_cursor; }
    Node Head() noexcept { return m_items.begin(); }
    bool IsHead(ConstNode node) const noexcept { return node == m_items.begin(); }
    bool IsLast(ConstNode node) const noexcept { return !m_items.empty() && node == std::prev(m_items.end()); }

    Node begin() noexcept { return m_items.begin(); }
    Node end() noexcept { return m_items.end(); }
    ConstNode begin() const noexcept { return m_items.begin(); }
    ConstNode end() const noexcept { return m_items.end(); }

private:
    std::wstring m_name;
    Storage m_items;
    Node m_cursor;
};

template <class T>
using DllNode = typename Dll<T>::Node;

#pragma once
// The IUnknown half of the program's COM objects. QueryInterface answers
// IUnknown (as the first listed interface), each listed interface and the
// interfaces they derive from, and nothing else. ComObject lives on the heap and ends with its last
// reference; ComHeld is kept by its owner (on a stack or as a member) and
// only counts who holds it.
#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <climits>
#include <type_traits>

// A reference count that ends once: the last release marks it ended in the
// same step, so that TryAdd can never revive an object on its way out.
class ReferenceCount {
public:
    explicit ReferenceCount(LONG initial = 0) noexcept : m_count(initial) {}

    ULONG Add() noexcept { return static_cast<ULONG>(++m_count); }
    // A release too many gives 0 and changes nothing; `last` is set by the
    // one release that ends the count.
    ULONG Release(bool& last) noexcept {
        LONG count = m_count.load();
        for (;;) {
            if (count <= 0) {
                last = false;
                return 0;
            }
            if (m_count.compare_exchange_weak(count, count == 1 ? kEnded : count - 1)) break;
        }
        last = count == 1;
        return last ? 0 : static_cast<ULONG>(count - 1);
    }
    // One more unless the count has ended, and (without `evenUnheld`) unless
    // no reference was ever taken.
    bool TryAdd(bool evenUnheld) noexcept {
        LONG count = m_count.load();
        while (count > 0 || (evenUnheld && count == 0)) {
            if (m_count.compare_exchange_weak(count, count + 1)) return true;
        }
        return false;
    }

private:
    static constexpr LONG kEnded = LONG_MIN;
    std::atomic<LONG> m_count;
};

// The interface a listed interface derives from (other than IUnknown): an
// object that lists the derived one answers the base's IID with it too, as
// listing both would give it two copies of the base. Specialised where such
// an interface is declared.
template <class Interface>
struct ComBaseInterface {
    using type = void;
};

template <class Interface>
inline bool ComAnswers(REFIID riid) {
    if (riid == __uuidof(Interface)) return true;
    using Base = typename ComBaseInterface<Interface>::type;
    if constexpr (std::is_void_v<Base>) {
        return false;
    } else {
        return ComAnswers<Base>(riid);
    }
}

template <class First, class... Rest>
class ComInterfaces : public First, public Rest... {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || ComAnswers<First>(riid)) {
            *ppv = static_cast<First*>(this);
        } else {
            (void)((ComAnswers<Rest>(riid) && (*ppv = static_cast<Rest*>(this)) != nullptr) || ...);
        }
        if (*ppv == nullptr) return E_NOINTERFACE;
        static_cast<First*>(this)->AddRef();
        return S_OK;
    }

protected:
    ComInterfaces() = default;
    ~ComInterfaces() = default;
    ComInterfaces(const ComInterfaces&) = delete;
    ComInterfaces& operator=(const ComInterfaces&) = delete;
};

template <class First, class... Rest>
class ComObject : public ComInterfaces<First, Rest...> {
public:
    STDMETHODIMP_(ULONG) AddRef() override { return m_references.Add(); }
    STDMETHODIMP_(ULONG) Release() override {
        bool last = false;
        const ULONG left = m_references.Release(last);
        if (last) FinalRelease();
        return left;
    }

protected:
    explicit ComObject(LONG references) noexcept : m_references(references) {}
    virtual ~ComObject() = default;
    // Called once, by the last release; a class that must do more as it goes
    // (count it out of the process, say) overrides it.
    virtual void FinalRelease() noexcept { delete this; }
    // For handing out a reference from a table the object is listed in while
    // it may be in its last release.
    bool TryAddRef(bool evenUnheld) noexcept { return m_references.TryAdd(evenUnheld); }

private:
    ReferenceCount m_references;
};

template <class First, class... Rest>
class ComHeld : public ComInterfaces<First, Rest...> {
public:
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_references; }
    STDMETHODIMP_(ULONG) Release() override { return --m_references; }
    // The references taken and not yet released, the owner's own included.
    ULONG References() const noexcept { return m_references.load(); }

protected:
    explicit ComHeld(ULONG references) noexcept : m_references(references) {}
    ~ComHeld() = default;

private:
    std::atomic<ULONG> m_references;
};

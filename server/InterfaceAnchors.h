#pragma once
// Keeps every interface the server hands to clients registered with the RPC
// runtime for as long as the serving apartment lives.
//
// COM registers an interface with RPC when the first stub for it is made and
// unregisters it, waiting for its calls to complete, when the last such stub
// goes. Under Wine that wait can miss the end of the last call and never
// return; it runs on an RPC worker while holding the interface-registration
// lock, so one client's last Release would lock every later client out. One
// stub per interface, marshalled table-strong and never handed out, keeps
// every interface registered: a client's last Release then never unregisters.
#include <windows.h>
#include <objbase.h>

#include <vector>

class InterfaceAnchors {
public:
    InterfaceAnchors() = default;
    ~InterfaceAnchors() { Release(); }
    InterfaceAnchors(const InterfaceAnchors&) = delete;
    InterfaceAnchors& operator=(const InterfaceAnchors&) = delete;

    // In the apartment that serves the clients. An interface whose stub cannot
    // be made (no proxy/stub registered for it) is left out. Gives the number
    // of interfaces held.
    size_t Hold();
    // Before the apartment is left.
    void Release() noexcept;
    size_t Count() const noexcept { return m_marshalled.size(); }

    // The interfaces held: those of every object a client can be handed.
    static const std::vector<IID>& Interfaces();

private:
    std::vector<IStream*> m_marshalled;
};

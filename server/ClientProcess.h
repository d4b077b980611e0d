#pragma once
// The process of the client whose call is being served, kept from the call
// that made a connection so that the connection can be dropped once that
// process has ended: a stream's OnDataChange gives no result, and a sink
// called only on change may never be called again, so neither call tells
// that its client is gone.
#include <windows.h>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class ClientProcess {
public:
    ClientProcess() = default;
    // The calling client's process during a call from another process; an
    // empty one (which never ends) in-process or when it cannot be known.
    static ClientProcess OfCaller() noexcept;
    // True once the process has ended.
    bool HasEnded() const noexcept;
    DWORD Id() const noexcept { return m_id; }
    // The program file's name without its folder; "" when unknown.
    const std::wstring& ImageName() const noexcept { return m_image; }

private:
    std::shared_ptr<void> m_handle;
    DWORD m_id = 0;
    std::wstring m_image;
};

// Who a client is, for the lines that name it: the name it gave itself
// (IOPCCommon::SetClientName, "" before) and the process that connected.
struct ClientIdentity {
    std::wstring name;
    ClientProcess process;
};

// Moves the connections whose advising client's process has ended out of
// `connections` (each has a `client`); the caller lets the returned ones, and
// so their sinks, go once its lock is released.
template <class Connection>
std::vector<Connection> TakeEndedClients(std::vector<Connection>& connections) {
    std::vector<Connection> gone;
    for (auto it = connections.begin(); it != connections.end();) {
        if (it->client.HasEnded()) {
            gone.push_back(std::move(*it));
            it = connections.erase(it);
        } else {
            ++it;
        }
    }
    return gone;
}

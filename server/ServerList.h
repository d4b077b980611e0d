#pragma once
// Every live OPCServer of the process. A server enters the list in its
// constructor and leaves it as its destruction begins; at exit the list is
// emptied by destroying what is left. The list has its own lock, so servers
// may come and go on any thread.
#include "CriticalSection.h"
#include "Dll.h"

class OPCServer;

class ServerList {
public:
    // A server's place in the list.
    struct Entry {
        DllNode<OPCServer*> node{};
        bool listed = false;
    };

    static ServerList& Instance();

    void Add(OPCServer* server, Entry& entry);
    // Nothing when the entry has already left the list.
    void Remove(Entry& entry);
    int Count();
    // Takes a live server out of the list with one extra reference for the
    // caller, skipping servers whose last reference is already gone (they
    // leave by themselves). Null when no such server is listed; *anyLeft
    // tells whether dying servers remain.
    OPCServer* TakeOne(bool* anyLeft);

private:
    ServerList() = default;

    CriticalSection lock_;
    Dll<OPCServer*> servers_;
};

#include "ServerLink.h"

#include "FileTime.h"
#include "OPCServer.h"

OPCServer* ServerLink::Acquire() {
    ScopedLock guard(lock_);
    return server_ != nullptr && server_->TryAddRef() ? server_ : nullptr;
}

void ServerLink::Detach() {
    ScopedLock guard(lock_);
    server_ = nullptr;
}

void ServerLink::SetLastUpdate(FILETIME time) noexcept { lastUpdate_.store(FileTimeToU64(time)); }

FILETIME ServerLink::LastUpdate() const noexcept { return U64ToFileTime(lastUpdate_.load()); }

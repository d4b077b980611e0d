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

void ServerLink::NoteCall(const wchar_t* method) noexcept {
    lastCallTime_.store(FileTimeToU64(FileTimeNow()));
    lastCall_.store(method);
}

const wchar_t* ServerLink::LastCall(FILETIME& when) const noexcept {
    when = U64ToFileTime(lastCallTime_.load());
    return lastCall_.load();
}

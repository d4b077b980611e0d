#include "EventLogStartup.h"

#include <cstdint>

#include "EventLog.h"
#include "OPCS_Registry.h"

namespace {
constexpr std::uint32_t kSmallestMaxSize = 1024;
}

bool OpenEventLogFromSettings(EventLog& log, const OPCS_Registry& settings) {
    if (!settings.IsEventLogEnabled() || !log.Open(settings.GetEventLogFile())) {
        return false;
    }
    if (settings.GetEventLogFileSize() >= kSmallestMaxSize) {
        log.SetMaxSize(settings.GetEventLogFileSize());
    }
    return true;
}

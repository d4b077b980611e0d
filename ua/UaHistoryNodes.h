#pragma once
// What a client browses of the history service: the capabilities, the
// aggregate functions, the historical configuration types the stack's
// reduced namespace zero lacks (under their standard NodeIds), and the two
// configurations every historized tag refers to: one stepped, one sloped.
#include "UaLibrary.h"

struct UaHistoryLimits;

// The browse name of both configurations, as the standard names a tag's.
inline constexpr char kHistoryConfigurationName[] = "HA Configuration";

// The namespace of the two configurations: numbers, never a tag's.
inline constexpr char kHistoryNamespaceUri[] = "urn:Zelkor:ToviExplorer:History";

// Once the server has started; what is there already is kept. The
// configurations' namespace.
UA_UInt16 AddHistoryNodes(UA_Server* server, const UaHistoryLimits& limits);
// The configuration a historized tag refers to.
UA_NodeId HistoryConfigurationId(UA_UInt16 historyNamespace, bool stepped) noexcept;

#pragma once
// The OPC UA stack's client headers. Include this first: Winsock must come
// before anything that brings windows.h.
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
// naptypes.h (through iphlpapi.h) defines this as a macro; the stack's
// structures have a member of that name.
#undef maxStringLength

#include <open62541/client.h>
#include <open62541/client_config_default.h>
#include <open62541/client_highlevel.h>
#include <open62541/client_subscriptions.h>
#include <open62541/plugin/pki_default.h>

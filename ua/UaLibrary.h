#pragma once
// The OPC UA stack's headers, included the one way that works with the
// Windows headers: Winsock first, then the stack.
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
// naptypes.h (through iphlpapi.h) defines this as a macro; the stack's
// structures have a member of that name.
#undef maxStringLength

#include <open62541/plugin/accesscontrol_default.h>
#include <open62541/plugin/create_certificate.h>
#include <open62541/plugin/log.h>
#include <open62541/plugin/pki_default.h>
#include <open62541/server.h>
#include <open62541/server_config_default.h>

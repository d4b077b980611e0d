#pragma once
// Resource identifiers of the server layer.

// Vendor text reported by IOPCServer::GetStatus.
#define IDS_SERVER_VENDOR_INFO       61207

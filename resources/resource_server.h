#pragma once
// Resource identifiers of the server layer.

// Vendor text reported by IOPCServer::GetStatus.
#define IDS_SERVER_VENDOR_INFO       61207

// Registration scripts (REGISTRY resources applied by the platform registrar).
#define IDR_SERVER_APPID             251
#define IDR_SERVER_CLASS             254

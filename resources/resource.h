#pragma once
// Resource identifiers shared by the resource scripts and the code.

// Application title (the frame's caption).
#define IDS_APP_TITLE                57344

// Tag texts: quality, access mode, write dialog messages, poll states.
#define IDS_QUALITY_GOOD             61221
#define IDS_QUALITY_UNCERTAIN        61222
#define IDS_QUALITY_BAD              61223
#define IDS_ACCESS_READONLY          61224
#define IDS_ACCESS_READWRITE         61225
#define IDS_WRITE_BAD_INPUT          61253
#define IDS_WRITE_FAILED             61254
#define IDS_POLLSTATE_IDLE           61268
#define IDS_POLLSTATE_STARTING       61269
#define IDS_POLLSTATE_WAITING        61270
#define IDS_POLLSTATE_POLLING        61271
#define IDS_BAD_CONFIG_ERROR         61273
#define IDS_BAD_NOT_CONNECTED        61274
#define IDS_BAD_DEVICE_FAILURE       61275
#define IDS_BAD_SENSOR_FAILURE       61276
#define IDS_BAD_LAST_KNOWN           61277
#define IDS_BAD_COMM_FAILURE         61278
#define IDS_BAD_OUT_OF_SERVICE       61279
#define IDS_UNCERTAIN_LAST_KNOWN     61280
#define IDS_UNCERTAIN_NOT_ACCURATE   61281
#define IDS_UNCERTAIN_EU_EXCEEDED    61282
#define IDS_UNCERTAIN_SUB_NORMAL     61283
#define IDS_GOOD_LOCAL_OVERRIDE      61284
#define IDS_QUALITY_FORCED           61285

#include "resource_settings.h"
#include "resource_server.h"
#include "resource_ui.h"

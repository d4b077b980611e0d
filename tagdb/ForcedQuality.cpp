#include "ForcedQuality.h"

#include <algorithm>

#include "OpcConstants.h"

namespace {
constexpr WORD kForcible[] = {
    OPC_QUALITY_GOOD,         OPC_QUALITY_LOCAL_OVERRIDE, OPC_QUALITY_UNCERTAIN,      OPC_QUALITY_LAST_USABLE,
    OPC_QUALITY_SENSOR_CAL,   OPC_QUALITY_EGU_EXCEEDED,   OPC_QUALITY_SUB_NORMAL,     OPC_QUALITY_BAD,
    OPC_QUALITY_CONFIG_ERROR, OPC_QUALITY_NOT_CONNECTED,  OPC_QUALITY_DEVICE_FAILURE, OPC_QUALITY_SENSOR_FAILURE,
    OPC_QUALITY_LAST_KNOWN,   OPC_QUALITY_COMM_FAILURE,   OPC_QUALITY_OUT_OF_SERVICE,
};
}  // namespace

std::span<const WORD> ForcibleQualities() { return kForcible; }

bool IsForcibleQuality(int quality) {
    return quality == kNotForced ||
           std::find(std::begin(kForcible), std::end(kForcible), quality) != std::end(kForcible);
}

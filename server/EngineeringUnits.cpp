#include "EngineeringUnits.h"

void EngineeringUnits(bool limitsSet, double low, double high, OPCEUTYPE& type, VARIANT& info) {
    type = OPC_NOENUM;
    VariantClear(&info);
    if (!limitsSet) return;
    SAFEARRAY* limits = SafeArrayCreateVector(VT_R8, 0, 2);
    if (limits == nullptr) return;
    LONG index = 0;
    SafeArrayPutElement(limits, &index, &low);
    index = 1;
    SafeArrayPutElement(limits, &index, &high);
    V_VT(&info) = VT_ARRAY | VT_R8;
    V_ARRAY(&info) = limits;
    type = OPC_ANALOG;
}

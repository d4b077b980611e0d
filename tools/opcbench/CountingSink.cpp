#include "CountingSink.h"

#include <cmath>
#include <cstdint>
#include <cstring>

STDMETHODIMP_(void) CountingSink::OnDataChange(FORMATETC*, STGMEDIUM* medium) {
    Arrival a{NowMs(), Delivery::kStream, 0, 0, 0, 0, NAN};
    if (medium != nullptr && medium->tymed == TYMED_HGLOBAL) {
        const SIZE_T size = GlobalSize(medium->hGlobal);
        if (const auto* b = static_cast<const std::uint8_t*>(GlobalLock(medium->hGlobal))) {
            if (size >= 20) {
                std::memcpy(&a.size, b, 4);
                std::memcpy(&a.count, b + 4, 4);
                std::memcpy(&a.group, b + 8, 4);
                std::memcpy(&a.transaction, b + 12, 4);
            }
            DWORD offset = 0;
            WORD type = 0;
            if (a.count > 0 && size >= 28) std::memcpy(&offset, b + 24, 4);
            if (offset != 0 && offset + 16 <= size) {
                std::memcpy(&type, b + offset, 2);
                if (type == VT_R8) std::memcpy(&a.firstValue, b + offset + 8, 8);
            }
            GlobalUnlock(medium->hGlobal);
        }
    }
    Record(a);
}

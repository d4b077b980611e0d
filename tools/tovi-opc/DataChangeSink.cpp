#include "DataChangeSink.h"

STDMETHODIMP_(void) DataChangeSink::OnDataChange(FORMATETC* format, STGMEDIUM* medium) {
    // Only the subscribed format; the medium belongs to the caller.
    if (format == nullptr || medium == nullptr || format->cfFormat != m_format || medium->tymed != TYMED_HGLOBAL) {
        return;
    }
    DataStream stream;
    std::string why;
    if (ParseDataStream(medium->hGlobal, true, stream, &why)) {
        m_handler(stream);
    } else {
        m_failure(why);
    }
}

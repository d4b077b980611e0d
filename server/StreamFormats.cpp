#include "StreamFormats.h"

#include "OpcConstants.h"

namespace {
UINT Registered(const wchar_t* name) noexcept { return RegisterClipboardFormatW(name); }

// Asked for once each, on first use, and first used at static initialisation.
const UINT g_registeredAtStart[] = {StreamFormatData(), StreamFormatDataTime(), StreamFormatWriteComplete()};
}  // namespace

UINT StreamFormatData() noexcept {
    static const UINT format = Registered(OPC_STREAM_FORMAT_DATA);
    return format;
}

UINT StreamFormatDataTime() noexcept {
    static const UINT format = Registered(OPC_STREAM_FORMAT_DATATIME);
    return format;
}

UINT StreamFormatWriteComplete() noexcept {
    static const UINT format = Registered(OPC_STREAM_FORMAT_WRITECOMPLETE);
    return format;
}

#pragma once
// A client's advise sink that keeps a copy of every stream it receives, with
// its clipboard format, and lets a test wait for them. It can also hold a
// delivery back until the test opens its gate.
#include <windows.h>
#include <objidl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "ComObject.h"
#include "OpcStreamLayout.h"

struct ReceivedStream {
    CLIPFORMAT format = 0;
    std::vector<std::uint8_t> bytes;
    HGLOBAL handle = nullptr;  // the sender's block, which is the sender's to free

    std::uint32_t U32(size_t offset) const {
        std::uint32_t v = 0;
        if (offset + 4 <= bytes.size()) std::memcpy(&v, bytes.data() + offset, 4);
        return v;
    }
    std::uint16_t U16(size_t offset) const {
        std::uint16_t v = 0;
        if (offset + 2 <= bytes.size()) std::memcpy(&v, bytes.data() + offset, 2);
        return v;
    }
    double R8(size_t offset) const {
        double v = 0;
        if (offset + 8 <= bytes.size()) std::memcpy(&v, bytes.data() + offset, 8);
        return v;
    }
    // Data streams: the header's size, count and transaction.
    std::uint32_t Size() const { return U32(OpcStream::kGroupSize); }
    std::uint32_t Count() const { return U32(OpcStream::kGroupItemCount); }
    std::uint32_t TransactionId() const { return U32(OpcStream::kGroupTransactionId); }
};

// Lives on the test's stack.
class RecordingSink final : public ComHeld<IAdviseSink> {
public:
    RecordingSink() : ComHeld(1) {}

    STDMETHODIMP_(void) OnDataChange(FORMATETC* format, STGMEDIUM* medium) override {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_gateChanged.wait(lock, [this] { return m_open; });
        }
        ReceivedStream stream;
        stream.format = format != nullptr ? format->cfFormat : 0;
        if (medium != nullptr && medium->tymed == TYMED_HGLOBAL && medium->hGlobal != nullptr) {
            stream.handle = medium->hGlobal;
            const SIZE_T size = GlobalSize(medium->hGlobal);
            if (const void* data = GlobalLock(medium->hGlobal)) {
                stream.bytes.assign(static_cast<const std::uint8_t*>(data),
                                    static_cast<const std::uint8_t*>(data) + size);
                GlobalUnlock(medium->hGlobal);
            }
            // Only the bytes the header counts belong to the stream.
            const std::uint32_t declared =
                stream.format == m_writeCompleteFormat
                    ? static_cast<std::uint32_t>(OpcStream::kWriteHeaderSize +
                                                 OpcStream::kWriteItemSize * stream.U32(OpcStream::kWriteItemCount))
                    : stream.Size();
            if (declared <= stream.bytes.size()) stream.bytes.resize(declared);
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_streams.push_back(std::move(stream));
        m_arrived.notify_all();
    }
    STDMETHODIMP_(void) OnViewChange(DWORD, LONG) override {}
    STDMETHODIMP_(void) OnRename(IMoniker*) override {}
    STDMETHODIMP_(void) OnSave() override {}
    STDMETHODIMP_(void) OnClose() override {}

    void SetWriteCompleteFormat(CLIPFORMAT format) { m_writeCompleteFormat = format; }

    // True once `count` streams have arrived in all.
    bool WaitFor(size_t count, DWORD milliseconds) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_arrived.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                  [&] { return m_streams.size() >= count; });
    }
    std::vector<ReceivedStream> Streams() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_streams;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_streams.size();
    }
    void Close() { SetGate(false); }
    void Open() { SetGate(true); }

private:
    void SetGate(bool open) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = open;
        m_gateChanged.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::condition_variable m_gateChanged;
    bool m_open = true;
    CLIPFORMAT m_writeCompleteFormat = 0;
    std::vector<ReceivedStream> m_streams;
};

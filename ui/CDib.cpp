#include "CDib.h"

#include <limits>

namespace {
constexpr WORD kBitmapType = 0x4D42;  // "BM"
constexpr DWORD kFileHeaderSize = 14;

class File {
public:
    explicit File(const std::wstring& path)
        : m_handle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~File() {
        if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    bool IsOpen() const noexcept { return m_handle != INVALID_HANDLE_VALUE; }
    // True only when all the bytes were read.
    bool ReadExactly(void* buffer, DWORD size) {
        DWORD read = 0;
        return size == 0 || (ReadFile(m_handle, buffer, size, &read, nullptr) && read == size);
    }

private:
    HANDLE m_handle;
};

DWORD ColourTableEntries(const BITMAPINFOHEADER& info) {
    if (info.biClrUsed != 0) return info.biClrUsed;
    switch (info.biBitCount) {
    case 1: return 2;
    case 4: return 16;
    case 8: return 256;
    default: return 0;
    }
}
}  // namespace

void CDib::Clear() noexcept {
    m_header.clear();
    m_bits.clear();
}

bool CDib::Read(const std::wstring& path) {
    Clear();
    File file(path);
    if (!file.IsOpen()) return false;
    BITMAPFILEHEADER fileHeader{};
    static_assert(sizeof(BITMAPFILEHEADER) == kFileHeaderSize);
    if (!file.ReadExactly(&fileHeader, kFileHeaderSize) || fileHeader.bfType != kBitmapType) return false;
    if (fileHeader.bfOffBits < kFileHeaderSize + sizeof(BITMAPINFOHEADER)) return false;
    std::vector<std::uint8_t> header(fileHeader.bfOffBits - kFileHeaderSize);
    if (!file.ReadExactly(header.data(), static_cast<DWORD>(header.size()))) return false;
    BITMAPINFOHEADER info{};
    memcpy(&info, header.data(), sizeof(info));
    if (info.biSize != sizeof(BITMAPINFOHEADER) || info.biWidth <= 0 || info.biHeight == 0 || info.biPlanes != 1) {
        return false;
    }
    // The colour table the pixels need must lie inside the header block.
    if (sizeof(info) + static_cast<unsigned long long>(ColourTableEntries(info)) * sizeof(RGBQUAD) > header.size()) {
        return false;
    }
    unsigned long long size = info.biSizeImage;
    if (size == 0) {
        const unsigned long long rowBytes =
            (static_cast<unsigned long long>(info.biWidth) * info.biBitCount + 31) / 32 * 4;
        const long long height = info.biHeight < 0 ? -static_cast<long long>(info.biHeight) : info.biHeight;
        size = rowBytes * static_cast<unsigned long long>(height);
    }
    if (size == 0 || size > std::numeric_limits<DWORD>::max() / 2) return false;
    std::vector<std::uint8_t> bits(static_cast<size_t>(size));
    if (!file.ReadExactly(bits.data(), static_cast<DWORD>(size))) return false;
    m_header = std::move(header);
    m_bits = std::move(bits);
    return true;
}

LONG CDib::Width() const noexcept {
    return IsEmpty() ? 0 : reinterpret_cast<const BITMAPINFOHEADER*>(m_header.data())->biWidth;
}

LONG CDib::Height() const noexcept {
    if (IsEmpty()) return 0;
    const LONG height = reinterpret_cast<const BITMAPINFOHEADER*>(m_header.data())->biHeight;
    return height < 0 ? -height : height;
}

HBITMAP CDib::CreateBitmap() const {
    if (IsEmpty()) return nullptr;
    HDC screen = GetDC(nullptr);
    const auto* info = reinterpret_cast<const BITMAPINFO*>(m_header.data());
    HBITMAP bitmap = CreateDIBitmap(screen, &info->bmiHeader, CBM_INIT, m_bits.data(), info, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    return bitmap;
}

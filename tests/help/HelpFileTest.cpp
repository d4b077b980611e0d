// The compiled help file as the build makes it: every topic number the program
// asks for leads to a page, in the file's own map and through the viewer.
#include <gtest/gtest.h>

#include <windows.h>
#include <htmlhelp.h>
#include <objbase.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "Help.h"
#include "MessageBoxes.h"
#include "ProgramPaths.h"
#include "Text.h"

namespace {

// The platform's storage of compiled help files (itss): its IITStorage has
// no header in this tool chain, so the few slots used are declared here.
const CLSID kClsidITStorage = {0x5d02926a, 0x212e, 0x11d0, {0x9d, 0xf9, 0x00, 0xa0, 0xc9, 0x22, 0xe6, 0xec}};
const IID kIidITStorage = {0x88cc31de, 0x27ab, 0x11d0, {0x9d, 0xf9, 0x00, 0xa0, 0xc9, 0x22, 0xe6, 0xec}};

struct IITStorage : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE StgCreateDocfile(const WCHAR*, DWORD, DWORD, IStorage**) = 0;
    virtual HRESULT STDMETHODCALLTYPE StgCreateDocfileOnILockBytes(ILockBytes*, DWORD, DWORD, IStorage**) = 0;
    virtual HRESULT STDMETHODCALLTYPE StgIsStorageFile(const WCHAR*) = 0;
    virtual HRESULT STDMETHODCALLTYPE StgIsStorageILockBytes(ILockBytes*) = 0;
    virtual HRESULT STDMETHODCALLTYPE StgOpenStorage(const WCHAR*, IStorage*, DWORD, SNB, DWORD, IStorage**) = 0;
};

template <class T>
struct ComPtr {
    T* p = nullptr;
    ComPtr() = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() {
        if (p != nullptr) p->Release();
    }
    T* operator->() const { return p; }
};

bool ReadStream(IStorage* storage, const std::wstring& name, std::string& bytes) {
    ComPtr<IStream> stream;
    if (FAILED(storage->OpenStream(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &stream.p))) {
        return false;
    }
    bytes.clear();
    char buffer[4096];
    ULONG got = 0;
    while (SUCCEEDED(stream->Read(buffer, sizeof buffer, &got)) && got != 0) bytes.append(buffer, got);
    return true;
}

// Topic number -> page path, from the file's #IVB table (a byte count, then
// pairs of topic number and offset into #STRINGS, which holds the paths).
std::map<DWORD, std::string> ContextMap(IStorage* storage) {
    std::map<DWORD, std::string> map;
    std::string table;
    std::string strings;
    if (!ReadStream(storage, L"#IVB", table) || !ReadStream(storage, L"#STRINGS", strings) || table.size() < 4) {
        return map;
    }
    DWORD size = 0;
    std::memcpy(&size, table.data(), 4);
    for (size_t at = 4; at + 8 <= table.size() && at + 8 <= 4 + size; at += 8) {
        DWORD context = 0;
        DWORD offset = 0;
        std::memcpy(&context, table.data() + at, 4);
        std::memcpy(&offset, table.data() + at + 4, 4);
        map[context] = offset < strings.size() ? std::string(strings.c_str() + offset) : std::string();
    }
    return map;
}

// The viewer belongs to a window thread, as in the program: it opens nothing
// in the multithreaded apartment the test runner joins.
void OnWindowThread(const std::function<void()>& work) {
    std::thread thread([&work] {
        const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        work();
        HtmlHelpA(nullptr, nullptr, HH_CLOSE_ALL, 0);
        if (SUCCEEDED(hr)) CoUninitialize();
    });
    thread.join();
}

}  // namespace

TEST(HelpFileTest, EveryTopicTheProgramUsesMapsToAPageInTheFile) {
    ASSERT_TRUE(FileExists(GetHelpFilePath())) << "the build puts the help file beside the program";
    ComPtr<IITStorage> chm;
    ASSERT_HRESULT_SUCCEEDED(
        CoCreateInstance(kClsidITStorage, nullptr, CLSCTX_INPROC_SERVER, kIidITStorage, reinterpret_cast<void**>(&chm.p)));
    ComPtr<IStorage> storage;
    ASSERT_HRESULT_SUCCEEDED(
        chm->StgOpenStorage(GetHelpFilePath().c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, &storage.p));

    const std::map<DWORD, std::string> map = ContextMap(storage.p);
    for (const HelpContext context : kHelpContexts) {
        const auto found = map.find(context);
        ASSERT_NE(map.end(), found) << "no page for topic " << context;
        // A page path of the build machine would be found nowhere in the file.
        ASSERT_EQ(std::string::npos, found->second.find('/', 1)) << found->second;
        std::string page;
        ASSERT_TRUE(ReadStream(storage.p, FromAnsi(found->second), page)) << context << " -> " << found->second;
        EXPECT_NE(std::string::npos, page.find("<h1>")) << found->second << " has no heading";
    }
    // Nothing maps topics the program never asks for: the table and the code agree.
    EXPECT_EQ(std::size(kHelpContexts), map.size());
}

TEST(HelpFileTest, TheViewerOpensEveryTopicAndNoOther) {
    ASSERT_TRUE(IsHtmlHelpInstalled());
    const std::string file = ToAnsi(GetHelpFilePath());
    DWORD unused = 0;
    for (const HelpContext context : kHelpContexts) unused = std::max<DWORD>(unused, context + 1);
    std::vector<DWORD> missed;
    HWND unmapped = nullptr;
    OnWindowThread([&] {
        for (const HelpContext context : kHelpContexts) {
            if (HtmlHelpA(nullptr, file.c_str(), HH_HELP_CONTEXT, context) == nullptr) missed.push_back(context);
        }
        unmapped = HtmlHelpA(nullptr, file.c_str(), HH_HELP_CONTEXT, unused);
    });
    EXPECT_TRUE(missed.empty()) << "first topic not opened: " << (missed.empty() ? 0 : missed.front());
    EXPECT_EQ(nullptr, unmapped) << "a topic without a page must open nothing";
}

TEST(HelpFileTest, ShowHelpOpensTheViewerWithoutAMessage) {
    std::vector<std::wstring> boxes;
    SetMessageBoxHandler([&boxes](const std::wstring& text, const std::wstring&, UINT style) {
        boxes.push_back(text);
        return DefaultAnswer(style);
    });
    bool viewerShown = false;
    OnWindowThread([&] {
        ShowHelpTopic(kHelpWriteTagDialog);
        viewerShown = FindWindowW(L"HH Parent", nullptr) != nullptr;
    });
    SetMessageBoxHandler({});
    EXPECT_TRUE(boxes.empty()) << (boxes.empty() ? std::wstring() : boxes.front()).c_str();
    EXPECT_TRUE(viewerShown);
}

#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>

// Every suite runs in the multithreaded apartment, as the server's own threads do.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const int result = RUN_ALL_TESTS();
    if (SUCCEEDED(hr)) {
        CoUninitialize();
    }
    return result;
}

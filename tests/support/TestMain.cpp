#include <gtest/gtest.h>

#include <cstdio>
#include <windows.h>
#include <objbase.h>

// Every suite runs in the multithreaded apartment, as the server's own threads do.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int result = RUN_ALL_TESTS();
    // ctest runs one test per process by filter: a filter that selects nothing
    // means the test was renamed or not built, which must not pass silently.
    if (result == 0 && ::testing::UnitTest::GetInstance()->test_to_run_count() == 0) {
        std::fprintf(stderr, "No test matched the filter.\n");
        result = 1;
    }
    if (SUCCEEDED(hr)) {
        CoUninitialize();
    }
    return result;
}

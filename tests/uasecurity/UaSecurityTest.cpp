#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ScratchKey.h"
#include "TempFolder.h"
#include "UaSecuritySettings.h"
#include "UaSecurityWatch.h"
#include "UaUserStore.h"

namespace {
std::string ReadAll(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteAll(const std::wstring& path, const std::string& text) {
    std::ofstream(std::filesystem::path(path), std::ios::binary | std::ios::trunc) << text;
}
}  // namespace

TEST(UaUserStore, PasswordsAreCheckedAgainstSaltedSlowHashesThatSurviveTheFile) {
    TempFolder folder;
    const std::wstring path = folder.Path() + L"users.txt";
    UaUserStore store(path);
    std::wstring error;
    ASSERT_TRUE(store.Set(L"op", UaRole::ReadWrite, "s3cret", error)) << error;
    ASSERT_TRUE(store.Set(L"Zoë Viewer", UaRole::Read, "s3cret", error)) << error;
    ASSERT_TRUE(store.Save(error)) << error;

    UaUserStore loaded(path);
    ASSERT_TRUE(loaded.Load(error)) << error;
    const struct {
        const char* name;
        const char* password;
        std::optional<UaRole> role;
    } logins[] = {
        {"op", "s3cret", UaRole::ReadWrite},
        {"Zo\xC3\xAB Viewer", "s3cret", UaRole::Read},
        {"op", "s3cret ", std::nullopt},
        {"op", "S3cret", std::nullopt},
        {"op", "", std::nullopt},
        {"OP", "s3cret", std::nullopt},
        {"nobody", "s3cret", std::nullopt},
        {"", "", std::nullopt},
        {"op\xFF", "s3cret", std::nullopt},  // not UTF-8
        {"Zo\xC3", "s3cret", std::nullopt},  // cut inside a character
    };
    for (const auto& login : logins) {
        EXPECT_EQ(loaded.Verify(login.name, login.password), login.role) << login.name << " / " << login.password;
    }

    // The file holds no password, and the same password twice hashes apart.
    const std::string text = ReadAll(path);
    EXPECT_EQ(text.find("s3cret"), std::string::npos);
    const size_t first = text.find("pbkdf2-sha256$120000$"), second = text.find("pbkdf2-sha256$", first + 1);
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(second, std::string::npos);
    EXPECT_NE(text.substr(first, 60), text.substr(second, 60));

    // A new password replaces the old; a removed user is gone for good.
    ASSERT_TRUE(loaded.Set(L"op", UaRole::Read, "n3w", error));
    EXPECT_FALSE(loaded.Verify("op", "s3cret"));
    EXPECT_EQ(loaded.Verify("op", "n3w"), UaRole::Read);
    EXPECT_TRUE(loaded.Remove(L"op"));
    EXPECT_FALSE(loaded.Remove(L"op"));
    EXPECT_FALSE(loaded.Verify("op", "n3w"));
}

TEST(UaUserStore, UnusableNamesAndDamagedFilesAreRefusedWithAReason) {
    TempFolder folder;
    UaUserStore store(folder.Path() + L"users.txt");
    std::wstring error;
    for (const std::wstring& name :
         {std::wstring(), std::wstring(129, L'a'), std::wstring(L"tab\there"), std::wstring(L"line\nbreak"),
          std::wstring(L" lead"), std::wstring(L"trail "), std::wstring(1, wchar_t(0xD800))}) {
        error.clear();
        EXPECT_FALSE(store.Set(name, UaRole::Read, "pw", error)) << testing::PrintToString(name);
        EXPECT_FALSE(error.empty());
    }
    EXPECT_FALSE(store.Set(L"op", UaRole::Read, "", error));
    EXPECT_FALSE(store.Set(L"op", UaRole::Read, std::string_view("pw\0", 3), error));
    EXPECT_TRUE(store.Users().empty());

    // A missing file is an empty store; a file that is no store, or a damaged
    // line, lets nobody in rather than some.
    EXPECT_TRUE(UaUserStore(folder.Path() + L"none.txt").Load(error));
    ASSERT_TRUE(store.Set(L"op", UaRole::Read, "pw", error));
    ASSERT_TRUE(store.Save(error));
    const std::string good = ReadAll(folder.Path() + L"users.txt");
    const std::string damaged[] = {
        "op\tread\tplain-password\r\n",
        good + "second\twrite\t" + good.substr(good.find("pbkdf2")),
        good.substr(0, good.size() - 10) + "\r\n",
        good.substr(0, good.find("$")) + "$0$00$00\r\n",
    };
    for (const std::string& text : damaged) {
        WriteAll(folder.Path() + L"users.txt", text);
        UaUserStore reloaded(folder.Path() + L"users.txt");
        error.clear();
        EXPECT_FALSE(reloaded.Load(error)) << text;
        EXPECT_FALSE(error.empty());
        EXPECT_TRUE(reloaded.Users().empty());
        EXPECT_FALSE(reloaded.Verify("op", "pw"));
    }
}

TEST(UaUserStore, OnlyTheUserAdministratorsAndTheSystemMayOpenTheFile) {
    TempFolder folder;
    UaUserStore store(folder.Path() + L"users.txt");
    std::wstring error;
    ASSERT_TRUE(store.Set(L"op", UaRole::Read, "pw", error));
    ASSERT_TRUE(store.Save(error)) << error;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoW((folder.Path() + L"users.txt").c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, &dacl, nullptr, &descriptor),
              ERROR_SUCCESS);
    LPWSTR sddl = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                                     DACL_SECURITY_INFORMATION, &sddl, nullptr));
    const std::wstring text = sddl;
    LocalFree(sddl);
    LocalFree(descriptor);
    // Wine keeps the access list as the file's mode: the user's entry and
    // nobody else's is what it can show.
    for (const wchar_t* other : {L";WD)", L";BU)", L";AU)", L";BG)"}) {
        EXPECT_EQ(text.find(other), std::wstring::npos) << testing::PrintToString(text);
    }
    EXPECT_NE(text.find(L"(A;;FA;;;S-1-5-21-"), std::wstring::npos) << testing::PrintToString(text);
}

TEST(UaSecuritySettings, StoredEachChangeCountedAnonymousRoleFollowsTheMode) {
    ScratchKey key(HKEY_LOCAL_MACHINE);
    const UaSecuritySettings defaults = LoadUaSecuritySettings(key.Path());
    EXPECT_TRUE(defaults.NoneOffered());
    EXPECT_TRUE(defaults.AnonymousAccepted());
    EXPECT_EQ(defaults.AnonymousRole(), UaRole::ReadWrite);

    UaSecuritySettings remote = defaults;
    remote.remote = true;
    EXPECT_FALSE(remote.NoneOffered());
    EXPECT_FALSE(remote.AnonymousAccepted());
    EXPECT_EQ(remote.AnonymousRole(), UaRole::Read);
    EXPECT_TRUE(remote.ListensAsOther(defaults));
    UaSecuritySettings roleOnly = remote;
    roleOnly.anonymousRole = UaRole::ReadWrite;
    EXPECT_FALSE(roleOnly.ListensAsOther(remote)) << "a role is taken in place";
    // Allowing None or anonymous counts only with remote access.
    UaSecuritySettings localAllow = defaults;
    localAllow.allowUnsecured = localAllow.allowAnonymous = true;
    EXPECT_FALSE(localAllow.ListensAsOther(defaults));

    const std::uint32_t before = UaSecurityRevision(key.Path());
    UaSecuritySettings all;
    all.remote = all.allowUnsecured = all.allowAnonymous = true;
    all.anonymousRole = UaRole::Read;
    ASSERT_TRUE(SaveUaSecuritySettings(all, key.Path()));
    EXPECT_EQ(LoadUaSecuritySettings(key.Path()), all);
    EXPECT_EQ(UaSecurityRevision(key.Path()), before + 1);
    EXPECT_EQ(all.Differences(defaults).size(), 4u);
    ASSERT_TRUE(SaveUaSecuritySettings(defaults, key.Path()));
    EXPECT_EQ(LoadUaSecuritySettings(key.Path()), defaults);
    EXPECT_EQ(UaSecurityRevision(key.Path()), before + 2);
    EXPECT_TRUE(CountUaSecurityChange(key.Path()));
    EXPECT_EQ(UaSecurityRevision(key.Path()), before + 3);
}

TEST(UaSecurityWatch, HearsACountedChangeAndNotTheOtherSettings) {
    ScratchKey key(HKEY_LOCAL_MACHINE);
    std::atomic<int> heard{0};
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    UaSecurityWatch watch;
    ASSERT_TRUE(watch.Start(
        [&] {
            ++heard;
            SetEvent(event);
        },
        key.Path()));
    key.SetDword(L"Poll Rate Secs", 7);
    EXPECT_EQ(WaitForSingleObject(event, 500), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(CountUaSecurityChange(key.Path()));
    EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    ASSERT_TRUE(CountUaSecurityChange(key.Path()));
    EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    watch.Stop();
    EXPECT_EQ(heard.load(), 2);
    CloseHandle(event);
}

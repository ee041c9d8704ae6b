// The registry namespace: strict value types, statuses for missing settings, views, and what failures say.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

#include "runtime/errors/codepage.h"
#include "runtime/errors/vexception.h"
#include "runtime/registry/registry.h"
#include "tests/testutil.h"

namespace {

const HKEY hklm = HKEY_LOCAL_MACHINE;
// The settings live in the 64-bit view; a 32-bit process opens keys in its own view unless told otherwise.
const REGSAM view64 = KEY_WOW64_64KEY;

// Raw data of any type and size, stored without the namespace under test.
void store(const std::wstring& subkey, const std::wstring& name, DWORD type, const void* data, DWORD size,
           REGSAM view = KEY_WOW64_64KEY) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(hklm, subkey.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &key, nullptr), 0);
    EXPECT_EQ(::RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size), 0);
    ::RegCloseKey(key);
}

// What `call` throws: `message` with one frame, of `function`; an OS error with `code`, or a plain failure (a
// corrupt value) when `code` is 0.
template <typename Call>
void expectFailure(Call&& call, const std::wstring& message, const char* function, DWORD code = 0) {
    const Failure failure = failureOf(call);
    EXPECT_EQ(failure.code, code);
    EXPECT_EQ(failure.message.rfind(message + L"\n   at (" + wstr(function) + L" line ", 0), 0u) << failure.message;
    EXPECT_EQ(occurrences(failure.message, L"\n   at "), 1u) << failure.message;
}

}  // namespace

TEST(Registry, ExpandableStringsComeBackExpandedOthersVerbatimCutAtTheirFirstNul) {
    ScopedTestKey test(L"strings");
    const std::wstring text = L"%SystemRoot%\\system32";
    const DWORD size = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    store(test.subkey(), L"expand", REG_EXPAND_SZ, text.c_str(), size);
    store(test.subkey(), L"plain", REG_SZ, text.c_str(), size);
    store(test.subkey(), L"embedded", REG_SZ, L"one\0two", 8 * sizeof(wchar_t));
    store(test.subkey(), L"bare", REG_SZ, L"abc", 3 * sizeof(wchar_t));  // no terminator stored
    wchar_t systemRoot[MAX_PATH] = {};
    ASSERT_GT(::GetEnvironmentVariableW(L"SystemRoot", systemRoot, MAX_PATH), 0u);
    const std::wstring expanded = std::wstring(systemRoot) + L"\\system32";

    std::wstring value;
    EXPECT_EQ(registry::lookup(hklm, test.subkey(), L"expand", value, REG_SZ, 2), 0);
    EXPECT_EQ(value, expanded);
    EXPECT_EQ(registry::lookup(hklm, test.subkey(), L"plain", value, REG_EXPAND_SZ, 2), 0);
    EXPECT_EQ(value, text);
    EXPECT_EQ(registry::getstr(hklm, test.subkey(), L"embedded", 2), L"one");
    EXPECT_EQ(registry::getstr(hklm, test.subkey(), L"bare", 2), L"abc");
    const auto key = registry::open(hklm, test.subkey(), KEY_QUERY_VALUE | view64);
    EXPECT_EQ(registry::lookup(key.get(), L"expand", value), 0);
    EXPECT_EQ(value, expanded);
}

TEST(Registry, WrongTypesAndSizesThrowNamingTheValue) {
    ScopedTestKey test(L"types");
    const uint64_t quad = 7;
    const DWORD four = 7;
    store(test.subkey(), L"list", REG_MULTI_SZ, L"a\0b\0", 5 * sizeof(wchar_t));
    store(test.subkey(), L"quad", REG_QWORD, &quad, sizeof quad);
    store(test.subkey(), L"binary", REG_BINARY, &four, sizeof four);
    // RegSetValueEx does not check a REG_DWORD's size.
    store(test.subkey(), L"short", REG_DWORD, &four, 2);
    const auto key = registry::open(hklm, test.subkey(), KEY_QUERY_VALUE | view64);
    const std::wstring path = test.subkey() + L"\\";
    std::wstring text = L"untouched";
    DWORD number = 99;

    const auto byPath = [&](const wchar_t* name, bool dword) {
        return [&, name, dword] {
            dword ? registry::lookup(hklm, test.subkey(), name, number, 2)
                  : registry::lookup(hklm, test.subkey(), name, text, REG_SZ, 2);
        };
    };
    const struct {
        const wchar_t* name;
        bool dword;
        const wchar_t* what;
    } wrong[] = {{L"list", false, L"type"}, {L"quad", true, L"type"}, {L"binary", true, L"type"}, {L"short", true, L"size"}};
    for (const auto& w : wrong)
        expectFailure(byPath(w.name, w.dword), L"RegQueryValueEx invalid " + std::wstring(w.what) + L" of '" + path +
                      w.name + L"'", "registry::lookup");
    expectFailure([&] { registry::lookup(key.get(), L"list", text); },
                  L"RegQueryValueEx invalid type of 'list'", "registry::lookup");
    expectFailure([&] { registry::lookup(key.get(), L"quad", number); },
                  L"RegQueryValueEx invalid type of 'quad'", "registry::lookup");
    EXPECT_EQ(text, L"untouched");
    EXPECT_EQ(number, 99u);
}

TEST(Registry, MissingKeysAndValuesGiveTheStatusAndLeaveTheValue) {
    ScopedTestKey test(L"missing");
    DWORD number = 42;
    std::wstring text = L"default";
    EXPECT_EQ(registry::lookup(hklm, test.subkey(), L"v", number, 2), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(registry::lookup(hklm, test.subkey(), L"v", text, REG_SZ, 2), ERROR_FILE_NOT_FOUND);
    const auto key = registry::create(hklm, test.subkey(), KEY_ALL_ACCESS | view64);
    EXPECT_EQ(registry::lookup(hklm, test.subkey(), L"v", number, 2), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(registry::lookup(hklm, test.subkey(), L"v", text, REG_SZ, 2), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(registry::lookup(key.get(), L"v", number), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(registry::lookup(key.get(), L"v", text), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(number, 42u);
    EXPECT_EQ(text, L"default");

    const std::wstring context = L"lookup subKey=" + test.subkey() + L" value=v";
    expectFailure([&] { registry::getstr(hklm, test.subkey(), L"v", 2); }, osErrorText(2, &context),
                  "registry::getstr", 2);
}

TEST(Registry, SetStoresStringsWithTheirTerminatorAndDwordsInFourBytes) {
    ScopedTestKey test(L"set");
    registry::Key key(hklm, test.subkey(), KEY_SET_VALUE | KEY_QUERY_VALUE | view64, false);
    registry::set(key.get(), L"text", std::wstring(L"C:\\Tarvo"));
    registry::set(key.get(), L"number", DWORD{0x800000});

    DWORD type = 0, size = 0;
    ASSERT_EQ(::RegQueryValueExW(key.get(), L"text", nullptr, &type, nullptr, &size), 0);
    EXPECT_EQ(type, DWORD{REG_SZ});
    EXPECT_EQ(size, 2 * 8 + 2u);
    ASSERT_EQ(::RegQueryValueExW(key.get(), L"number", nullptr, &type, nullptr, &size), 0);
    EXPECT_EQ(type, DWORD{REG_DWORD});
    EXPECT_EQ(size, 4u);
    DWORD number = 0;
    EXPECT_EQ(registry::lookup(hklm, test.subkey(), L"number", number, 2), 0);
    EXPECT_EQ(number, 0x800000u);
}

TEST(Registry, ViewOneReadsTheThirtyTwoBitViewTwoAndThreeTheSixtyFourBitOne) {
    ScopedTestKey test(L"views");
    const DWORD in32 = 32, in64 = 64;
    store(test.subkey(), L"v", REG_DWORD, &in32, sizeof in32, KEY_WOW64_32KEY);
    EXPECT_TRUE(registry::keyExists(hklm, test.subkey(), 1));
    EXPECT_FALSE(registry::keyExists(hklm, test.subkey(), 2));
    EXPECT_FALSE(registry::keyExists(hklm, test.subkey(), 3));
    EXPECT_TRUE(registry::keyExists(hklm, L"SOFTWARE\\WOW6432Node" + test.subkey().substr(8), 2));
    store(test.subkey(), L"v", REG_DWORD, &in64, sizeof in64, KEY_WOW64_64KEY);

    DWORD value = 0;
    // Any other selector leaves the process's own view.
    const DWORD own = sizeof(void*) == 8 ? in64 : in32;
    for (const auto& [view, expected] : {std::pair{1, in32}, {2, in64}, {3, in64}, {0, own}, {4, own}}) {
        EXPECT_EQ(registry::lookup(hklm, test.subkey(), L"v", value, view), 0);
        EXPECT_EQ(value, expected) << "view " << view;
    }
}

TEST(Registry, FailuresCarryTheStatusTheCallAndTheOperation) {
    ScopedTestKey test(L"fail");
    std::wstring context = L"RegOpenKeyEx subKey=" + test.subkey();
    expectFailure([&] { registry::Key(hklm, test.subkey(), KEY_READ | view64, true); },
                  osErrorText(2, &context), "registry::open", 2);

    registry::Key readOnly(hklm, test.subkey(), KEY_QUERY_VALUE | view64, false);
    EXPECT_TRUE(registry::keyExists(hklm, test.subkey(), 2));
    // Values need the handle's set-value access.
    context = L"RegSetValueEx valueName=n";
    expectFailure([&] { registry::set(readOnly.get(), L"n", DWORD{1}); },
                  osErrorText(ERROR_ACCESS_DENIED, &context), "registry::set", ERROR_ACCESS_DENIED);
    expectFailure([&] { registry::set(readOnly.get(), L"n", std::wstring(L"x")); },
                  osErrorText(ERROR_ACCESS_DENIED, &context), "registry::set", ERROR_ACCESS_DENIED);

    // Subkeys are checked against the key's security, not the handle's access: a deleted key refuses them.
    ASSERT_EQ(::RegDeleteKeyExW(hklm, test.subkey().c_str(), view64, 0), 0);
    EXPECT_FALSE(registry::keyExists(hklm, test.subkey(), 2));
    context = L"RegCreateKeyEx subKey=child";
    expectFailure([&] { registry::create(readOnly.get(), L"child", KEY_ALL_ACCESS); },
                  osErrorText(ERROR_KEY_DELETED, &context), "registry::create", ERROR_KEY_DELETED);
}

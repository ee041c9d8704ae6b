#include <windows.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/errors/vexception.h"
#include "runtime/filesystem/vfilename.h"
#include "tests/testutil.h"

namespace {

struct PathResult {
    HRESULT hr;
    std::wstring text;
};

PathResult rawCombine(vfilename_detail::PathAllocCombineFunction function, const std::wstring& base,
                         const std::wstring& more, ULONG flags) {
    PWSTR out = nullptr;
    const HRESULT hr = function(base.c_str(), more.c_str(), flags, &out);
    PathResult result{hr, out ? out : L"(null)"};
    ::LocalFree(out);
    return result;
}

PathResult rawRemoveFileSpec(vfilename_detail::PathCchRemoveFileSpecFunction function, const std::wstring& path) {
    std::vector<wchar_t> buffer(path.c_str(), path.c_str() + path.size() + 1);
    const HRESULT hr = function(buffer.data(), buffer.size());
    return {hr, buffer.data()};
}

}  // namespace

// One row per path: the function, its input and its result. Separators are unified, "." and ".." resolved,
// never above the root of an absolute path; the long form only for drive-letter and UNC paths.
TEST(PathNames, SingleArgumentFunctionsGiveTheirResult) {
    using F = std::wstring (*)(const std::wstring&);
    const auto toLong = [](const std::wstring& p) { return VFileName::toLongPath(p); };
    const auto canonical = [](const std::wstring& p) { return VFileName::canonicalize(p); };
    const auto strip = [](const std::wstring& p) { return VFileName::stripLongPrefix(p); };
    const auto trim = [](const std::wstring& p) { return VFileName::trimTrailingSeparators(p); };
    const auto noExtension = [](const std::wstring& p) { return VFileName::removeExtension(p); };
    const std::wstring deep = L"\\\\?\\C:\\" + std::wstring(300, L'd');  // past MAX_PATH the shell functions still work
    const struct {
        F function;
        std::wstring path, expected;
    } cases[] = {
        {toLong, L"C:", L"\\\\?\\C:\\"},
        {toLong, L"C:/a/./b/../c", L"\\\\?\\C:\\a\\c"},
        {toLong, L"d:\\x\\\\y\\", L"\\\\?\\d:\\x\\y\\"},
        {toLong, L"\\\\server\\share\\a\\..\\..\\b", L"\\\\?\\UNC\\server\\share\\b"},
        {toLong, L"\\\\.\\pipe\\a\\..\\b", L"\\\\.\\pipe\\a\\..\\b"},
        {toLong, L"relative/./x", L"relative/./x"},
        {toLong, L"\\\\?\\C:\\a\\..\\b", L"\\\\?\\C:\\a\\..\\b"},
        {toLong, L"", L""},
        {toLong, L"C:\\a\\..\\..\\b", L"\\\\?\\C:\\b"},
        {toLong, L"C:\\..", L"\\\\?\\C:\\"},
        {canonical, L"C:/a//b/./c/..", L"C:\\a\\b"},
        {canonical, L"a\\..\\..\\b", L"..\\b"},
        {canonical, L"..\\..\\x", L"..\\..\\x"},
        {canonical, L"\\..\\b", L"\\b"},
        {canonical, L"\\\\?\\C:\\..\\..\\b", L"\\\\?\\C:\\b"},
        {canonical, L"\\\\?\\UNC\\srv\\share\\..\\x", L"\\\\?\\UNC\\srv\\share\\x"},
        {canonical, L"\\\\srv\\share\\..\\..\\x", L"\\\\srv\\share\\x"},
        {canonical, L"//./pipe/x", L"\\\\.\\pipe\\x"},
        {canonical, L"//server/share/x/", L"\\\\server\\share\\x\\"},
        {canonical, L"\\", L"\\"},
        {strip, L"\\??\\C:\\x", L"C:\\x"},
        {strip, L"\\\\?\\UNC\\srv\\share\\x", L"\\\\srv\\share\\x"},
        {strip, L"\\\\.\\pipe\\x", L"\\\\.\\pipe\\x"},
        {strip, L"C:\\\\?\\x", L"C:\\\\?\\x"},
        {trim, L"C:\\a\\/\\", L"C:\\a"},
        {trim, L"\\/\\", L""},
        {VFileName::fileName, deep + L"\\name.ext", L"name.ext"},
        {VFileName::fileName, L"b.txt", L"b.txt"},
        {VFileName::extension, L"C:\\a\\b.tar.gz", L".gz"},
        {VFileName::extension, L"C:\\a.d\\b", L""},
        {noExtension, L"C:\\a\\b.tar.gz", L"C:\\a\\b.tar"},
        {noExtension, L"C:\\a.d\\b", L"C:\\a.d\\b"},
        {VFileName::directoryOf, L"C:\\a\\\\b.txt", L"C:\\a"},
        {VFileName::directoryOf, L"C:/a/b.txt", L"C:/a"},
        {VFileName::directoryOf, L"b.txt", L""},
        {VFileName::directoryOf, deep + L"\\name.ext", deep},
        // The containing folder; a drive root has nothing to remove, and of a trailing separator only it goes.
        {VFileName::removeFileSpec, L"C:/a/./b/../c.txt", L"C:\\a"},
        {VFileName::removeFileSpec, L"C:\\a", L"C:\\"},
        {VFileName::removeFileSpec, L"C:\\", L"C:\\"},
        {VFileName::removeFileSpec, L"C:", L"C:\\"},
        {VFileName::removeFileSpec, L"C:\\a\\b\\", L"C:\\a\\b"},
        {VFileName::removeFileSpec, L"\\\\?\\C:\\a\\b", L"C:\\a"},
        {VFileName::removeFileSpec, L"a\\b", L"a"},
        {VFileName::removeFileSpec, L"a", L""},
        {VFileName::removeFileSpec, deep + L"\\f.txt", deep.substr(4)},
        {VFileName::expandEnvironmentStrings, L"%TARVO_PATHS_TEST%\\x;%TARVO_PATHS_UNSET%",
         L"C:\\expanded\\x;%TARVO_PATHS_UNSET%"},
        {VFileName::expandEnvironmentStrings, L"", L""},
    };
    ASSERT_TRUE(::SetEnvironmentVariableW(L"TARVO_PATHS_TEST", L"C:\\expanded"));
    for (const auto& c : cases) EXPECT_EQ(c.function(c.path), c.expected) << "input " << c.path.size() << " chars";
    ::SetEnvironmentVariableW(L"TARVO_PATHS_TEST", nullptr);
}

// The shorter component sorts first whatever its letters; equal lengths compare without case.
TEST(PathNames, PathsCompareAndPrefixComponentByComponent) {
    EXPECT_TRUE(VFileName::isPrefix(L"c:\\A", L"C:\\a\\b"));
    EXPECT_FALSE(VFileName::isPrefix(L"C:\\a", L"C:\\ab"));
    EXPECT_FALSE(VFileName::isPrefix(L"C:\\a\\b", L"C:\\a"));
    using enum VFileName::Relation;
    const struct {
        std::wstring first, second;
        VFileName::Relation expected;
    } cases[] = {
        {L"C:\\a\\b", L"c:\\A\\B", Equal},         {L"C:/a//b\\", L"\\\\?\\C:\\a\\b", Equal},
        {L"\\??\\C:\\a", L"C:\\a", Equal},         {L"C:\\a\\b", L"C:\\a", FirstBelowSecond},
        {L"C:\\a", L"C:\\a\\b", SecondBelowFirst}, {L"C:\\zz", L"C:\\aaa", FirstSortsFirst},
        {L"C:\\aaa\\x", L"C:\\zz\\x", SecondSortsFirst}, {L"C:\\abc", L"C:\\ABD", FirstSortsFirst},
        {L"C:\\abD", L"C:\\ABc", SecondSortsFirst},      {L"C:\\ab", L"C:\\a\\b", SecondSortsFirst},
        {L"", L"", Equal},                         {L"", L"C:", SecondBelowFirst},
        {L"C:", L"", FirstBelowSecond},            {L"\\\\?\\", L"", Equal},
    };
    for (const auto& c : cases)
        EXPECT_EQ(VFileName::comparePaths(c.first, c.second), c.expected) << c.first << L" : " << c.second;
}

// combine places the second path under the first and hands back a plain path (past MAX_PATH too); joinLongPath
// builds the long form, where the console names alone pass through and are ordinary names under a folder.
TEST(PathNames, TwoPartFunctionsGiveTheirResult) {
    const auto combine = [](const std::wstring& a, const std::wstring& b) { return VFileName::combine(a, b); };
    const std::wstring deep = L"C:\\" + std::wstring(200, L'a') + L"\\" + std::wstring(100, L'b');
    const struct {
        std::wstring (*function)(const std::wstring&, const std::wstring&);
        std::wstring first, second, expected;
    } cases[] = {
        {combine, L"C:\\a\\", L"\\\\/b\\c.txt", L"C:\\a\\b\\c.txt"},
        {combine, L"C:/a/./x/..", L"b\\..\\c", L"C:\\a\\c"},
        {combine, L"C:\\a", L"..\\..\\..\\b", L"C:\\b"},
        {combine, L"C:", L"b", L"C:\\b"},
        {combine, L"\\\\?\\C:\\a", L"b", L"C:\\a\\b"},
        {combine, L"C:\\a", L"", L"C:\\a"},
        {combine, L"", L"b", L"b"},
        {combine, L"\\\\server\\share", L"x", L"\\\\server\\share\\x"},
        {combine, deep, L"\\c\\..\\d.txt", deep + L"\\d.txt"},
        {VFileName::joinLongPath, L"C://a\\\\b/", L"x/./y\\..\\f.txt", L"\\\\?\\C:\\a\\b\\x\\f.txt"},
        {VFileName::joinLongPath, L"C:\\a\\b", L"..\\..\\f", L"\\\\?\\C:\\f"},
        {VFileName::joinLongPath, L"\\\\?\\C:\\a", L"f", L"\\\\?\\C:\\a\\f"},
        {VFileName::joinLongPath, L"C:", L"f", L"\\\\?\\C:\\f"},
        {VFileName::joinLongPath, L"\\\\server\\share\\d", L"..\\f", L"\\\\?\\UNC\\server\\share\\f"},
        {VFileName::joinLongPath, L"C:\\a", L"", L"\\\\?\\C:\\a\\"},
        {VFileName::joinLongPath, L"", L"CONOUT$", L"CONOUT$"},
        {VFileName::joinLongPath, L"", L"conin$", L"conin$"},
        {VFileName::joinLongPath, L"C:\\a", L"CONOUT$", L"\\\\?\\C:\\a\\CONOUT$"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.function(c.first, c.second), c.expected) << c.first << L" + " << c.second;
}

// Without a folder the current directory is the base; an empty path and climbing above the root are refused.
TEST(PathNames, JoinLongPathUsesTheCurrentDirectoryWithoutFolderAndRejectsEmptyAndClimbingAboveRoot) {
    wchar_t current[MAX_PATH + 1] = {};
    ASSERT_GT(::GetCurrentDirectoryW(MAX_PATH + 1, current), 0u);
    EXPECT_EQ(VFileName::joinLongPath(L"", L"f.txt"), VFileName::toLongPath(VFileName::combine(current, L"f.txt")));
    EXPECT_EQ(VFileName::joinLongPath(L".", L"f.txt"), VFileName::joinLongPath(L"", L"f.txt"));
    EXPECT_TRUE(runtimeFailure([] { VFileName::joinLongPath(L"", L""); }).starts_with(L"Empty input path: (87) "));
    EXPECT_THROW(VFileName::joinLongPath(L"C:\\a", L"..\\..\\x"), RunTime::InvalidPathException);
    EXPECT_TRUE(runtimeFailure([] { VFileName::joinLongPath(L"C:\\a", L"..\\..\\x"); })
                    .starts_with(L"Invalid input path (C:\\a) + (..\\..\\x): (161) "));
    EXPECT_THROW(VFileName::joinLongPath(L"C:\\a\\..\\..", L"x"), RunTime::InvalidPathException);
}

// Drive-letter, rooted and plain UNC paths, the kinds this library hands over; on every one the fallbacks must
// answer exactly as the system does.
TEST(PathNames, SystemAndFallbackImplementationsAgree) {
    const vfilename_detail::PathFunctions system = vfilename_detail::systemPathFunctions();
    const vfilename_detail::PathFunctions fallback = vfilename_detail::fallbackPathFunctions();
    if (!system.allocCombine || !system.removeFileSpec) GTEST_SKIP() << "the system lacks the pathcch functions";

    const std::wstring longName(250, L'l');  // "C:\" + longName + "\" + 6 more characters reach MAX_PATH
    const std::wstring longest = L"\\\\?\\C:\\" + std::wstring(32755, L'x');  // plus 5 more: PATHCCH_MAX_CCH
    const std::vector<std::pair<std::wstring, std::wstring>> combines = {
        {L"\\\\?\\C:\\a", L"b"}, {L"\\\\?\\C:\\a\\", L"b"}, {L"\\\\?\\C:\\a", L"..\\..\\..\\b"},
        {L"\\\\?\\C:\\a", L"b\\.\\c\\..\\d"}, {L"\\\\?\\C:\\a", L""}, {L"", L"b"}, {L"", L""},
        {L"\\\\?\\C:\\a", L"D:\\x"}, {L"\\\\server\\share", L"x"}, {L"\\\\?\\C:\\a", L"b."},
        {L"\\\\?\\C:\\a", L"b\\."}, {L"\\\\?\\C:\\a", L"b\\"}, {L"\\\\?\\C:\\a", L"b.c..."},
        {L"\\\\?\\C:\\a", L"b.\\c"}, {L"\\\\?\\C:", L"b"}, {L"\\\\?\\C:\\", L".."}, {L"C:", L"b"},
        {L"C:\\a", L"b"}, {L"\\x", L"y"}, {L"\\\\?\\C:\\a\\..", L"b"}, {L"\\\\?\\C:\\a", L"\\x"},
        {L"\\\\?\\C:\\a", L"b\\..\\"}, {L"\\\\?\\c:\\a", L"B"}, {L"\\\\?\\C:\\" + longName, L"bcdef"},
        {L"\\\\?\\C:\\" + longName, L"bcdefg"}, {L"C:\\" + longName, L"bcdefg"}, {longest, L"abcd"},
        {longest, L"abcde"},
    };
    for (const auto& [base, more] : combines) {
        for (ULONG flags : {0ul, 1ul}) {
            SCOPED_TRACE(testing::Message() << "PathAllocCombine of " << base.size() << " and " << more.size()
                                            << " characters, flags " << flags);
            const PathResult expected = rawCombine(system.allocCombine, base, more, flags);
            const PathResult actual = rawCombine(fallback.allocCombine, base, more, flags);
            EXPECT_EQ(actual.hr, expected.hr);
            EXPECT_EQ(actual.text, expected.text);
        }
    }

    const std::vector<std::wstring> removals = {
        L"\\\\?\\C:\\a\\b", L"\\\\?\\C:\\a", L"\\\\?\\C:\\", L"\\\\?\\C:", L"\\\\?\\C:\\a\\", L"C:\\a", L"C:\\", L"C:",
        L"C:a", L"\\a", L"\\", L"a", L"a\\b", L"", L"..\\b", L"\\\\s\\sh\\x", L"\\\\s\\sh", L"\\\\s\\sh\\", L"\\\\s",
        L"\\\\?\\UNC\\s\\sh\\x", L"\\\\?\\UNC\\s\\sh", L"\\\\?\\UNC\\s", L"\\\\.\\pipe\\x", L"a\\", L"\\a\\", L"C:/a",
        L"\\\\?\\C:\\" + std::wstring(40000, L'x') + L"\\f"};
    for (const std::wstring& path : removals) {
        SCOPED_TRACE(testing::Message() << "PathCchRemoveFileSpec of " << path.size() << " characters");
        const PathResult expected = rawRemoveFileSpec(system.removeFileSpec, path);
        const PathResult actual = rawRemoveFileSpec(fallback.removeFileSpec, path);
        EXPECT_EQ(actual.hr, expected.hr);
        EXPECT_EQ(actual.text, expected.text);
    }
    // A buffer shorter than its text is refused by both.
    wchar_t shortBuffer[] = L"C:\\a\\b";
    EXPECT_EQ(fallback.removeFileSpec(shortBuffer, 3), E_INVALIDARG);
    EXPECT_EQ(system.removeFileSpec(shortBuffer, 3), E_INVALIDARG);
    PWSTR none = nullptr;
    EXPECT_EQ(fallback.allocCombine(nullptr, nullptr, 1, &none), system.allocCombine(nullptr, nullptr, 1, &none));
}

// On the system's functions and on ours alike.
TEST(PathNames, FailuresNameTheCallAndItsResult) {
    const std::wstring base = L"C:\\" + std::wstring(40000, L'x');
    for (bool fallback : {false, true}) {
        vfilename_detail::forceFallback(fallback);
        const vexception combined = thrownVexception([&] { VFileName::combine(base, L"/m"); });
        EXPECT_EQ(combined.message(), L"PathAllocCombine(" + base + L", m) failed: error code 0x800700ce");
        ASSERT_EQ(combined.frames().size(), 1u);
        EXPECT_EQ(combined.frames()[0].function, "VFileName::combine");
        const vexception removed = thrownVexception([&] { VFileName::removeFileSpec(base); });
        EXPECT_EQ(removed.message(), L"PathCchRemoveFileSpec(" + base + L") failed: error code 0x80070057");
        EXPECT_EQ(removed.frames()[0].function, "VFileName::removeFileSpec");
        EXPECT_EQ(VFileName::removeFileSpec(L"C:\\"), L"C:\\");
    }
    vfilename_detail::forceFallback(false);
}

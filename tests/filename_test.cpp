#include <windows.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/errors/format.h"
#include "runtime/errors/vexception.h"
#include "runtime/filesystem/vfilename.h"
#include "tests/testutil.h"

namespace {

// Runs the body with combine and removeFileSpec on our own equivalents of the pathcch functions.
class ScopedFallback {
public:
    ScopedFallback() { vfilename_detail::forceFallback(true); }
    ~ScopedFallback() { vfilename_detail::forceFallback(false); }
};

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

TEST(PathNames, ToLongPathPrefixesDriveLetterAndUncPaths) {
    EXPECT_EQ(VFileName::toLongPath(L"C:"), L"\\\\?\\C:\\");
    EXPECT_EQ(VFileName::toLongPath(L"C:/a/./b/../c"), L"\\\\?\\C:\\a\\c");
    EXPECT_EQ(VFileName::toLongPath(L"d:\\x\\\\y\\"), L"\\\\?\\d:\\x\\y\\");
    // A UNC path takes the UNC form, never climbing above its share.
    EXPECT_EQ(VFileName::toLongPath(L"\\\\server\\share\\a\\..\\..\\b"), L"\\\\?\\UNC\\server\\share\\b");
    // Everything else goes through untouched, separators and dots included.
    EXPECT_EQ(VFileName::toLongPath(L"\\\\.\\pipe\\a\\..\\b"), L"\\\\.\\pipe\\a\\..\\b");
    EXPECT_EQ(VFileName::toLongPath(L"relative/./x"), L"relative/./x");
    EXPECT_EQ(VFileName::toLongPath(L"\\\\?\\C:\\a\\..\\b"), L"\\\\?\\C:\\a\\..\\b");
    EXPECT_EQ(VFileName::toLongPath(L""), L"");
    EXPECT_EQ(VFileName::toLongPath(L"C"), L"C");
    // Never above the drive, and never the bare volume name.
    EXPECT_EQ(VFileName::toLongPath(L"C:\\a\\..\\..\\b"), L"\\\\?\\C:\\b");
    EXPECT_EQ(VFileName::toLongPath(L"C:\\.."), L"\\\\?\\C:\\");
}

TEST(PathNames, CanonicalizeResolvesDotsAndCollapsesSeparators) {
    EXPECT_EQ(VFileName::canonicalize(L"C:\\a\\b\\"), L"C:\\a\\b\\");
    EXPECT_EQ(VFileName::canonicalize(L"C:/a//b/./c/.."), L"C:\\a\\b");
    EXPECT_EQ(VFileName::canonicalize(L"a\\..\\..\\b"), L"..\\b");
    EXPECT_EQ(VFileName::canonicalize(L"..\\..\\x"), L"..\\..\\x");
    EXPECT_EQ(VFileName::canonicalize(L"\\a\\..\\b"), L"\\b");
    // A ".." at the root of an absolute path stays at the root.
    EXPECT_EQ(VFileName::canonicalize(L"C:\\a\\..\\..\\b"), L"C:\\b");
    EXPECT_EQ(VFileName::canonicalize(L"\\..\\b"), L"\\b");
    EXPECT_EQ(VFileName::canonicalize(L"\\\\?\\C:\\..\\..\\b"), L"\\\\?\\C:\\b");
    EXPECT_EQ(VFileName::canonicalize(L"\\\\?\\UNC\\srv\\share\\..\\x"), L"\\\\?\\UNC\\srv\\share\\x");
    EXPECT_EQ(VFileName::canonicalize(L"\\\\srv\\share\\..\\..\\x"), L"\\\\srv\\share\\x");
    EXPECT_EQ(VFileName::canonicalize(L"\\\\?\\C:\\a\\.\\b"), L"\\\\?\\C:\\a\\b");
    EXPECT_EQ(VFileName::canonicalize(L"//./pipe/x"), L"\\\\.\\pipe\\x");
    EXPECT_EQ(VFileName::canonicalize(L"//server/share/x/"), L"\\\\server\\share\\x\\");
    EXPECT_EQ(VFileName::canonicalize(L"x\\"), L"x\\");
    EXPECT_EQ(VFileName::canonicalize(L"\\"), L"\\");
    EXPECT_EQ(VFileName::canonicalize(L""), L"");
}

TEST(PathNames, PrefixAndTrailingSeparatorsAreStripped) {
    EXPECT_EQ(VFileName::stripLongPrefix(L"\\\\?\\C:\\x"), L"C:\\x");
    EXPECT_EQ(VFileName::stripLongPrefix(L"\\??\\C:\\x"), L"C:\\x");
    EXPECT_EQ(VFileName::stripLongPrefix(L"\\\\?\\UNC\\srv\\share\\x"), L"\\\\srv\\share\\x");
    EXPECT_EQ(VFileName::stripLongPrefix(L"\\\\.\\pipe\\x"), L"\\\\.\\pipe\\x");
    EXPECT_EQ(VFileName::stripLongPrefix(L"C:\\\\?\\x"), L"C:\\\\?\\x");
    EXPECT_EQ(VFileName::stripLongPrefix(L"\\\\?"), L"\\\\?");
    EXPECT_EQ(VFileName::trimTrailingSeparators(L"C:\\a\\/\\"), L"C:\\a");
    EXPECT_EQ(VFileName::trimTrailingSeparators(L"\\/\\"), L"");
    EXPECT_EQ(VFileName::trimTrailingSeparators(L"a\\b"), L"a\\b");
    EXPECT_EQ(VFileName::trimTrailingSeparators(L""), L"");
}

TEST(PathNames, FileNameExtensionAndDirectory) {
    EXPECT_EQ(VFileName::fileName(L"C:\\a\\b.txt"), L"b.txt");
    EXPECT_EQ(VFileName::fileName(L"b.txt"), L"b.txt");
    EXPECT_EQ(VFileName::extension(L"C:\\a\\b.tar.gz"), L".gz");
    EXPECT_EQ(VFileName::extension(L"C:\\a.d\\b"), L"");
    EXPECT_EQ(VFileName::removeExtension(L"C:\\a\\b.tar.gz"), L"C:\\a\\b.tar");
    EXPECT_EQ(VFileName::removeExtension(L"C:\\a.d\\b"), L"C:\\a.d\\b");
    EXPECT_EQ(VFileName::directoryOf(L"C:\\a\\\\b.txt"), L"C:\\a");
    EXPECT_EQ(VFileName::directoryOf(L"C:/a/b.txt"), L"C:/a");
    EXPECT_EQ(VFileName::directoryOf(L"b.txt"), L"");
    // Past MAX_PATH the shell functions still find the last component.
    const std::wstring folder = L"\\\\?\\C:\\" + std::wstring(300, L'd');
    EXPECT_EQ(VFileName::fileName(folder + L"\\name.ext"), L"name.ext");
    EXPECT_EQ(VFileName::extension(folder + L"\\name.ext"), L".ext");
    EXPECT_EQ(VFileName::directoryOf(folder + L"\\name.ext"), folder);
}

TEST(PathNames, IsPrefixMatchesWholeComponents) {
    EXPECT_TRUE(VFileName::isPrefix(L"C:\\a", L"C:\\a\\b"));
    EXPECT_TRUE(VFileName::isPrefix(L"c:\\A", L"C:\\a\\b"));
    EXPECT_FALSE(VFileName::isPrefix(L"C:\\a", L"C:\\ab"));
    EXPECT_FALSE(VFileName::isPrefix(L"C:\\a\\b", L"C:\\a"));
}

TEST(PathNames, ComparePathsComponentByComponent) {
    EXPECT_EQ(VFileName::comparePaths(L"C:\\a\\b", L"c:\\A\\B"), VFileName::Equal);
    EXPECT_EQ(VFileName::comparePaths(L"C:/a//b\\", L"\\\\?\\C:\\a\\b"), VFileName::Equal);
    EXPECT_EQ(VFileName::comparePaths(L"\\??\\C:\\a", L"C:\\a"), VFileName::Equal);
    EXPECT_EQ(VFileName::comparePaths(L"C:\\a\\b", L"C:\\a"), VFileName::FirstBelowSecond);
    EXPECT_EQ(VFileName::comparePaths(L"C:\\a", L"C:\\a\\b"), VFileName::SecondBelowFirst);
    // The shorter component sorts first whatever its letters; equal lengths compare without case.
    EXPECT_EQ(VFileName::comparePaths(L"C:\\zz", L"C:\\aaa"), VFileName::FirstSortsFirst);
    EXPECT_EQ(VFileName::comparePaths(L"C:\\aaa\\x", L"C:\\zz\\x"), VFileName::SecondSortsFirst);
    EXPECT_EQ(VFileName::comparePaths(L"C:\\abc", L"C:\\ABD"), VFileName::FirstSortsFirst);
    EXPECT_EQ(VFileName::comparePaths(L"C:\\abD", L"C:\\ABc"), VFileName::SecondSortsFirst);
    EXPECT_EQ(VFileName::comparePaths(L"C:\\ab", L"C:\\a\\b"), VFileName::SecondSortsFirst);
    EXPECT_EQ(VFileName::comparePaths(L"", L""), VFileName::Equal);
    EXPECT_EQ(VFileName::comparePaths(L"", L"C:"), VFileName::SecondBelowFirst);
    EXPECT_EQ(VFileName::comparePaths(L"C:", L""), VFileName::FirstBelowSecond);
    EXPECT_EQ(VFileName::comparePaths(L"\\\\?\\", L""), VFileName::Equal);
}

TEST(PathNames, CombinePlacesSecondUnderFirstWithoutPrefix) {
    EXPECT_EQ(VFileName::combine(L"C:\\a", L"b"), L"C:\\a\\b");
    EXPECT_EQ(VFileName::combine(L"C:\\a\\", L"\\\\/b\\c.txt"), L"C:\\a\\b\\c.txt");
    EXPECT_EQ(VFileName::combine(L"C:/a/./x/..", L"b\\..\\c"), L"C:\\a\\c");
    EXPECT_EQ(VFileName::combine(L"C:\\a", L"..\\..\\..\\b"), L"C:\\b");
    EXPECT_EQ(VFileName::combine(L"C:", L"b"), L"C:\\b");
    EXPECT_EQ(VFileName::combine(L"\\\\?\\C:\\a", L"b"), L"C:\\a\\b");
    EXPECT_EQ(VFileName::combine(L"C:\\a", L""), L"C:\\a");
    EXPECT_EQ(VFileName::combine(L"", L"b"), L"b");
    EXPECT_EQ(VFileName::combine(L"\\\\server\\share", L"x"), L"\\\\server\\share\\x");
    // Past MAX_PATH the system answers in the "\\?\" form; combine still hands back a plain path.
    const std::wstring deep = L"C:\\" + std::wstring(200, L'a') + L"\\" + std::wstring(100, L'b');
    const std::wstring combined = VFileName::combine(deep, L"\\c\\..\\d.txt");
    EXPECT_EQ(combined, deep + L"\\d.txt");
    EXPECT_GT(combined.size(), static_cast<size_t>(MAX_PATH));
}

TEST(PathNames, CombineFailureNamesCallAndResult) {
    const std::wstring base = L"C:\\" + std::wstring(40000, L'x');
    const vexception e = thrownVexception([&] { VFileName::combine(base, L"/more"); });
    EXPECT_EQ(e.message(), L"PathAllocCombine(" + base + L", more) failed: error code 0x800700ce");
    ASSERT_EQ(e.frames().size(), 1u);
    EXPECT_EQ(e.frames()[0].function, "VFileName::combine");
    EXPECT_EQ(e.frames()[0].text, L"");
}

TEST(PathNames, RemoveFileSpecGivesTheContainingFolder) {
    EXPECT_EQ(VFileName::removeFileSpec(L"C:\\a\\b.txt"), L"C:\\a");
    EXPECT_EQ(VFileName::removeFileSpec(L"C:\\a"), L"C:\\");
    EXPECT_EQ(VFileName::removeFileSpec(L"C:/a/./b/../c.txt"), L"C:\\a");
    // A drive root has nothing to remove and comes back as it is.
    EXPECT_EQ(VFileName::removeFileSpec(L"C:\\"), L"C:\\");
    EXPECT_EQ(VFileName::removeFileSpec(L"C:"), L"C:\\");
    // A trailing separator is all that goes.
    EXPECT_EQ(VFileName::removeFileSpec(L"C:\\a\\b\\"), L"C:\\a\\b");
    EXPECT_EQ(VFileName::removeFileSpec(L"\\\\?\\C:\\a\\b"), L"C:\\a");
    EXPECT_EQ(VFileName::removeFileSpec(L"a\\b"), L"a");
    EXPECT_EQ(VFileName::removeFileSpec(L"a"), L"");
    const std::wstring deep = L"C:\\" + std::wstring(300, L'a');
    EXPECT_EQ(VFileName::removeFileSpec(deep + L"\\f.txt"), deep);
}

TEST(PathNames, RemoveFileSpecFailureNamesCallAndResult) {
    const std::wstring path = L"C:\\" + std::wstring(40000, L'x') + L"\\f";
    const vexception e = thrownVexception([&] { VFileName::removeFileSpec(path); });
    EXPECT_EQ(e.message(), L"PathCchRemoveFileSpec(" + path + L") failed: error code 0x80070057");
    ASSERT_EQ(e.frames().size(), 1u);
    EXPECT_EQ(e.frames()[0].function, "VFileName::removeFileSpec");
}

TEST(PathNames, ExpandEnvironmentStringsReplacesKnownNames) {
    ASSERT_TRUE(::SetEnvironmentVariableW(L"TARVO_PATHS_TEST", L"C:\\expanded"));
    EXPECT_EQ(VFileName::expandEnvironmentStrings(L"%TARVO_PATHS_TEST%\\x;%TARVO_PATHS_UNSET%"),
              L"C:\\expanded\\x;%TARVO_PATHS_UNSET%");
    EXPECT_EQ(VFileName::expandEnvironmentStrings(L""), L"");
    ::SetEnvironmentVariableW(L"TARVO_PATHS_TEST", nullptr);
}

TEST(PathNames, JoinLongPathBuildsExtendedAbsolutePath) {
    EXPECT_EQ(VFileName::joinLongPath(L"C:\\a\\b", L"f.txt"), L"\\\\?\\C:\\a\\b\\f.txt");
    EXPECT_EQ(VFileName::joinLongPath(L"C://a\\\\b/", L"x/./y\\..\\f.txt"), L"\\\\?\\C:\\a\\b\\x\\f.txt");
    EXPECT_EQ(VFileName::joinLongPath(L"C:\\a\\b", L"..\\..\\f"), L"\\\\?\\C:\\f");
    EXPECT_EQ(VFileName::joinLongPath(L"\\\\?\\C:\\a", L"f"), L"\\\\?\\C:\\a\\f");
    EXPECT_EQ(VFileName::joinLongPath(L"C:", L"f"), L"\\\\?\\C:\\f");
    EXPECT_EQ(VFileName::joinLongPath(L"\\\\server\\share\\d", L"..\\f"), L"\\\\?\\UNC\\server\\share\\f");
    EXPECT_EQ(VFileName::joinLongPath(L"C:\\a", L""), L"\\\\?\\C:\\a\\");
    // The console names are not files: alone they pass through, under a folder they are ordinary names.
    EXPECT_EQ(VFileName::joinLongPath(L"", L"CONOUT$"), L"CONOUT$");
    EXPECT_EQ(VFileName::joinLongPath(L"", L"conin$"), L"conin$");
    EXPECT_EQ(VFileName::joinLongPath(L"C:\\a", L"CONOUT$"), L"\\\\?\\C:\\a\\CONOUT$");
}

TEST(PathNames, JoinLongPathWithoutFolderUsesCurrentDirectory) {
    wchar_t current[MAX_PATH + 1] = {};
    ASSERT_GT(::GetCurrentDirectoryW(MAX_PATH + 1, current), 0u);
    EXPECT_EQ(VFileName::joinLongPath(L"", L"f.txt"), VFileName::toLongPath(VFileName::combine(current, L"f.txt")));
    EXPECT_EQ(VFileName::joinLongPath(L".", L"f.txt"), VFileName::joinLongPath(L"", L"f.txt"));
}

TEST(PathNames, JoinLongPathRejectsEmptyAndClimbingAboveRoot) {
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

    // The same public operations, once on the system's functions and once on ours.
    const std::vector<std::pair<std::wstring, std::wstring>> operations = {
        {L"C:\\a", L"\\b"}, {L"C:/a/./x/..", L"b\\..\\c"}, {L"C:", L"..\\b."}, {L"\\\\server\\share", L"x\\y"},
        {L"C:\\" + longName, L"c\\d.txt"}, {L"C:\\" + longName + L"\\" + longName, L"..\\e"}};
    for (const auto& [base, more] : operations) {
        SCOPED_TRACE(testing::Message() << "base of " << base.size() << " characters");
        const std::wstring combined = VFileName::combine(base, more);
        const std::wstring folder = VFileName::removeFileSpec(combined);
        ScopedFallback useFallback;
        EXPECT_EQ(VFileName::combine(base, more), combined);
        EXPECT_EQ(VFileName::removeFileSpec(combined), folder);
    }
}

TEST(PathNames, FallbackReportsFailuresLikeTheSystem) {
    ScopedFallback useFallback;
    const std::wstring base = L"C:\\" + std::wstring(40000, L'x');
    EXPECT_EQ(thrownVexception([&] { VFileName::combine(base, L"m"); }).message(),
              L"PathAllocCombine(" + base + L", m) failed: error code 0x800700ce");
    EXPECT_EQ(thrownVexception([&] { VFileName::removeFileSpec(base); }).message(),
              L"PathCchRemoveFileSpec(" + base + L") failed: error code 0x80070057");
    EXPECT_EQ(VFileName::removeFileSpec(L"C:\\"), L"C:\\");
}

#pragma once
// Path names: every path passes through here before it reaches a Win32 call, so that paths longer than
// 260 characters work. Drive-letter and UNC paths are canonicalised and given the "\\?\" (or "\\?\UNC\")
// prefix just before the call; every path handed back to a caller is free of it.
#include <windows.h>

#include <string>

class VFileName {
public:
    VFileName() = delete;

    // A drive-letter path canonical and prefixed with "\\?\", a UNC path "\\server\share\..." canonical as
    // "\\?\UNC\server\share\..."; any other path unchanged.
    static std::wstring toLongPath(std::wstring path);
    // "/" as "\", "." and ".." resolved (an unresolvable ".." stays; a drive or "\\server\share" is never
    // climbed above), empty components dropped; a leading "\\?\" or "\\.\", the two separators of a UNC path
    // and a leading or trailing separator are kept.
    static std::wstring canonicalize(std::wstring path);
    // `more` (its leading separators dropped) under `base`, canonical, without prefix.
    static std::wstring combine(const std::wstring& base, std::wstring more);
    // The containing folder, without prefix; a drive root stays as it is.
    static std::wstring removeFileSpec(const std::wstring& path);
    // %NAME% references replaced by the environment's values.
    static std::wstring expandEnvironmentStrings(const std::wstring& text);
    // Without a leading "\\?\" or "\??\" ("\\?\UNC\server" as "\\server").
    static std::wstring stripLongPrefix(std::wstring path);
    // Without the trailing run of "\" and "/"; a path of separators only gives "".
    static std::wstring trimTrailingSeparators(std::wstring path);
    static std::wstring fileName(const std::wstring& path);
    // With its dot; "" when there is none.
    static std::wstring extension(const std::wstring& path);
    static std::wstring removeExtension(const std::wstring& path);
    // The path less its last component and the separators before it.
    static std::wstring directoryOf(const std::wstring& path);
    static bool isPrefix(const std::wstring& prefix, const std::wstring& path);

    enum Relation : int { Equal = 0, FirstBelowSecond = 1, SecondBelowFirst = 2, FirstSortsFirst = 3, SecondSortsFirst = 4 };
    // Component by component, without case: 1 when b is an ancestor of a, 2 when a is an ancestor of b.
    static int comparePaths(const std::wstring& a, const std::wstring& b);
    // The extended-length absolute path of `name` inside `directory` (the current directory when empty).
    static std::wstring joinLongPath(const std::wstring& directory, const std::wstring& name);
};

// PathAllocCombine and PathCchRemoveFileSpec are missing before Windows 8 (and from some Wine builds): they
// are looked up at run time, and an equivalent of our own stands in for whichever one is missing.
namespace vfilename_detail {
using PathAllocCombineFunction = HRESULT(WINAPI*)(PCWSTR pathIn, PCWSTR more, ULONG flags, PWSTR* pathOut);
using PathCchRemoveFileSpecFunction = HRESULT(WINAPI*)(PWSTR path, size_t size);

struct PathFunctions {
    PathAllocCombineFunction allocCombine = nullptr;
    PathCchRemoveFileSpecFunction removeFileSpec = nullptr;
};

// The system's functions; a member is null where the system lacks it.
PathFunctions systemPathFunctions();
// Our own equivalents, with the same contracts (results of allocCombine are freed with LocalFree).
PathFunctions fallbackPathFunctions();
// Makes combine and removeFileSpec use the fallbacks even where the system has the functions (tests).
void forceFallback(bool on);
}  // namespace vfilename_detail

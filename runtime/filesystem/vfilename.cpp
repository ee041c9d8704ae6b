#include "runtime/filesystem/vfilename.h"

#include <windows.h>
#include <shlwapi.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <string_view>
#include <vector>

#include "runtime/errors/format.h"
#include "runtime/errors/vexception.h"
#include "runtime/holder.h"

namespace {

constexpr ULONG kAllowLongPaths = 0x1;       // PATHCCH_ALLOW_LONG_PATHS
constexpr size_t kMaxPathChars = 32768;      // PATHCCH_MAX_CCH, terminator included
constexpr std::wstring_view kLongPrefix = L"\\\\?\\";
constexpr std::wstring_view kNtPrefix = L"\\??\\";
constexpr std::wstring_view kDevicePrefix = L"\\\\.\\";
constexpr std::wstring_view kLongUncPrefix = L"\\\\?\\UNC\\";

bool isSeparator(wchar_t c) noexcept { return c == L'\\' || c == L'/'; }

wchar_t asciiLower(wchar_t c) noexcept { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + (L'a' - L'A')) : c; }

bool startsWithNoCase(std::wstring_view text, std::wstring_view prefix) noexcept {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(),
                      [](wchar_t a, wchar_t b) { return asciiLower(a) == asciiLower(b); });
}

bool hasLongPrefix(std::wstring_view path) noexcept {
    return path.starts_with(kLongPrefix) || path.starts_with(kNtPrefix);
}

bool isDrivePath(std::wstring_view path) noexcept { return path.size() >= 2 && path[1] == L':'; }

// "\\server\share...": two separators and a name, neither "\\?\" nor "\\.\".
bool isUncPath(std::wstring_view path) noexcept {
    return path.size() > 2 && isSeparator(path[0]) && isSeparator(path[1]) && !isSeparator(path[2]) &&
           !((path[2] == L'?' || path[2] == L'.') && (path.size() == 3 || isSeparator(path[3])));
}

wchar_t upper(wchar_t c) noexcept {
    wchar_t mapped = c;
    return ::LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, &c, 1, &mapped, 1) == 1 ? mapped : c;
}

bool equalsNoCase(const std::wstring& a, const wchar_t* b) {
    return ::CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), -1, b, -1) == CSTR_EQUAL;
}

// Components between runs of "\" and "/"; empty components are dropped.
std::vector<std::wstring> splitComponents(std::wstring_view path) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = start;
        while (end < path.size() && !isSeparator(path[end])) ++end;
        if (end > start) parts.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// ---- Equivalents of the pathcch functions for systems that lack them ----

// Where the root of a path ends, as the pathcch functions see it: "C:\", "C:", "\\server\share" (without the
// separator after it), "\\?\C:\", "\\?\UNC\server\share", "\\?\Volume{...}\", "\" or nothing.
size_t rootLength(std::wstring_view path) noexcept {
    const auto uncRootEnd = [&](size_t start) {
        size_t server = path.find(L'\\', start);
        if (server == std::wstring_view::npos) return path.size();
        size_t share = path.find(L'\\', server + 1);
        return share == std::wstring_view::npos ? path.size() : share;
    };
    const auto withSeparator = [&](size_t end) { return end < path.size() && path[end] == L'\\' ? end + 1 : end; };
    if (startsWithNoCase(path, kLongUncPrefix)) return uncRootEnd(kLongUncPrefix.size());
    if (path.starts_with(kLongPrefix)) {
        const std::wstring_view rest = path.substr(kLongPrefix.size());
        if (isDrivePath(rest)) return withSeparator(kLongPrefix.size() + 2);
        if (startsWithNoCase(rest, L"Volume{")) {
            const size_t close = path.find(L'}', kLongPrefix.size());
            if (close != std::wstring_view::npos) return withSeparator(close + 1);
        }
        return kLongPrefix.size();
    }
    if (path.starts_with(L"\\\\")) return uncRootEnd(2);
    if (isDrivePath(path)) return withSeparator(2);
    return !path.empty() && path[0] == L'\\' ? 1 : 0;
}

// What PathCchCanonicalizeEx makes of a path: "." and ".." resolved without climbing above the root, trailing
// dots of the last component dropped, the "\\?\" form used exactly when the result reaches MAX_PATH.
HRESULT canonicalizeLikeSystem(std::wstring path, ULONG flags, std::wstring& out) {
    if (startsWithNoCase(path, kLongUncPrefix)) path = L"\\\\" + path.substr(kLongUncPrefix.size());
    else if (path.starts_with(kLongPrefix) && isDrivePath(std::wstring_view(path).substr(kLongPrefix.size())))
        path.erase(0, kLongPrefix.size());

    const size_t root = rootLength(path);
    const std::wstring head = path.substr(0, root);
    size_t position = root;
    bool separatorAfterRoot = false;
    if (position < path.size() && path[position] == L'\\') {
        separatorAfterRoot = true;
        ++position;
    }
    std::vector<std::wstring> segments;
    if (position < path.size()) {
        const std::wstring_view rest = std::wstring_view(path).substr(position);
        size_t start = 0;
        for (;;) {
            const size_t end = rest.find(L'\\', start);
            const bool last = end == std::wstring_view::npos;
            std::wstring segment(rest.substr(start, last ? std::wstring_view::npos : end - start));
            if (segment == L"..") {
                if (!segments.empty()) segments.pop_back();
            } else if (segment != L".") {
                if (last) segment.erase(segment.find_last_not_of(L'.') + 1);
                segments.push_back(std::move(segment));
            }
            if (last) break;
            start = end + 1;
        }
    }

    std::wstring result = head;
    if (!head.empty() && head.back() != L'\\' && (separatorAfterRoot || !segments.empty())) result += L'\\';
    for (size_t i = 0; i < segments.size(); ++i) {
        if (i > 0) result += L'\\';
        result += segments[i];
    }
    if (result.empty()) result = L"\\";

    const bool drive = isDrivePath(head);
    const bool unc = head.starts_with(L"\\\\") && !head.starts_with(kLongPrefix);
    if (result.size() >= MAX_PATH && (drive || unc)) {
        if (!(flags & kAllowLongPaths)) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
        result = drive ? std::wstring(kLongPrefix) + result : std::wstring(kLongUncPrefix) + result.substr(2);
    }
    if (result.size() + 1 > kMaxPathChars) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    out = std::move(result);
    return S_OK;
}

HRESULT WINAPI fallbackAllocCombine(PCWSTR pathIn, PCWSTR more, ULONG flags, PWSTR* pathOut) {
    if (!pathOut) return E_INVALIDARG;
    *pathOut = nullptr;
    if ((!pathIn && !more) || (flags & ~kAllowLongPaths)) return E_INVALIDARG;
    try {
        const std::wstring base = pathIn ? pathIn : L"";
        const std::wstring tail = more ? more : L"";
        std::wstring joined;
        if (isDrivePath(tail) || tail.starts_with(L"\\\\")) {
            joined = tail;
        } else if (!tail.empty() && tail[0] == L'\\') {
            std::wstring baseRoot = base.substr(0, rootLength(base));
            if (!baseRoot.empty() && baseRoot.back() == L'\\') baseRoot.pop_back();
            joined = baseRoot + tail;
        } else if (base.empty() || tail.empty()) {
            joined = base.empty() ? tail : base;
        } else {
            joined = base.back() == L'\\' ? base + tail : base + L'\\' + tail;
        }
        std::wstring result;
        const HRESULT hr = canonicalizeLikeSystem(std::move(joined), flags, result);
        if (FAILED(hr)) return hr;
        const size_t bytes = (result.size() + 1) * sizeof(wchar_t);
        auto* buffer = static_cast<PWSTR>(::LocalAlloc(LMEM_FIXED, bytes));
        if (!buffer) return E_OUTOFMEMORY;
        std::copy_n(result.c_str(), result.size() + 1, buffer);
        *pathOut = buffer;
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT WINAPI fallbackRemoveFileSpec(PWSTR path, size_t size) {
    if (!path || size == 0 || size > kMaxPathChars) return E_INVALIDARG;
    const size_t length = wcsnlen(path, size);
    if (length == size) return E_INVALIDARG;
    const std::wstring_view text(path, length);
    const size_t root = rootLength(text);
    if (root >= length) return S_FALSE;
    const size_t last = text.rfind(L'\\');
    path[last != std::wstring_view::npos && last >= root ? last : root] = L'\0';
    return S_OK;
}

template <typename Function>
Function procAddress(HMODULE module, const char* name) noexcept {
    // GetProcAddress hands back a generic function pointer; the cast through void* states the real type.
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

vfilename_detail::PathFunctions loadSystemFunctions() {
    vfilename_detail::PathFunctions found;
    for (const wchar_t* name : {L"api-ms-win-core-path-l1-1-0.dll", L"kernelbase.dll"}) {
        HMODULE module = ::GetModuleHandleW(name);
        tarvo::unique_hmodule loaded;
        if (!module) {
            // LOAD_LIBRARY_SEARCH_SYSTEM32 fails on systems that predate it; they lack both functions anyway.
            loaded.reset(::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
            module = loaded.get();
        }
        if (!module) continue;
        bool used = false;
        if (!found.allocCombine) {
            found.allocCombine = procAddress<vfilename_detail::PathAllocCombineFunction>(module, "PathAllocCombine");
            used = used || found.allocCombine;
        }
        if (!found.removeFileSpec) {
            found.removeFileSpec =
                procAddress<vfilename_detail::PathCchRemoveFileSpecFunction>(module, "PathCchRemoveFileSpec");
            used = used || found.removeFileSpec;
        }
        // A module we loaded stays loaded for the life of the process once its functions are in use.
        if (used) (void)loaded.release();
        if (found.allocCombine && found.removeFileSpec) break;
    }
    return found;
}

std::atomic<bool> fallbackForced{false};

vfilename_detail::PathFunctions activeFunctions() {
    const vfilename_detail::PathFunctions fallback = vfilename_detail::fallbackPathFunctions();
    if (fallbackForced.load()) return fallback;
    const vfilename_detail::PathFunctions system = vfilename_detail::systemPathFunctions();
    return {system.allocCombine ? system.allocCombine : fallback.allocCombine,
            system.removeFileSpec ? system.removeFileSpec : fallback.removeFileSpec};
}

// A string from a call that answers the characters it needs (terminator included) when the buffer is too
// small, and the characters it wrote otherwise; 0 is a failure.
template <typename Call, typename Fail>
std::wstring readSizedString(Call&& call, Fail&& fail) {
    for (DWORD needed = call(nullptr, 0);;) {
        if (needed == 0) fail();
        std::wstring text(needed, L'\0');
        const DWORD written = call(text.data(), needed);
        if (written == 0) fail();
        if (written < needed) {
            text.resize(written);
            return text;
        }
        needed = written;  // it grew in between: ask again with the new size
    }
}

std::wstring currentDirectory() {
    return readSizedString([](wchar_t* buffer, DWORD size) { return ::GetCurrentDirectoryW(size, buffer); },
                           [] {
                               throwOsError(L"GetCurrentDirectory", ::GetLastError(),
                                            errorFrame(L"", "VFileName::joinLongPath"));
                           });
}

std::wstring fullPathName(const std::wstring& path) {
    return readSizedString(
        [&](wchar_t* buffer, DWORD size) { return ::GetFullPathNameW(path.c_str(), size, buffer, nullptr); },
        [&] {
            throwOsError(formatString(L"GetFullPathName(%s)", path), ::GetLastError(),
                         errorFrame(L"", "VFileName::joinLongPath"));
        });
}

}  // namespace

namespace vfilename_detail {

PathFunctions systemPathFunctions() {
    static const PathFunctions functions = loadSystemFunctions();
    return functions;
}

PathFunctions fallbackPathFunctions() { return {fallbackAllocCombine, fallbackRemoveFileSpec}; }

void forceFallback(bool on) { fallbackForced.store(on); }

}  // namespace vfilename_detail

std::wstring VFileName::toLongPath(std::wstring path) {
    if (isUncPath(path)) {
        path = canonicalize(std::move(path));
        return std::wstring(kLongUncPrefix) + path.substr(2);
    }
    if (!isDrivePath(path)) return path;
    path = canonicalize(std::move(path));
    // "\\?\C:" without its separator would name the volume itself, not its root folder.
    if (path.size() == 2) path += L'\\';
    return std::wstring(kLongPrefix) + path;
}

std::wstring VFileName::canonicalize(std::wstring path) {
    std::replace(path.begin(), path.end(), L'/', L'\\');
    std::wstring prefix;
    if (path.starts_with(kLongPrefix) || path.starts_with(kDevicePrefix)) {
        prefix = path.substr(0, 4);
        path.erase(0, 4);
    }
    // A UNC path keeps both of its leading separators: with one it would name a folder of the current drive.
    const bool unc = prefix.empty() && isUncPath(path);
    const bool leading = !path.empty() && path.front() == L'\\';
    const bool trailing = path.size() > 1 && path.back() == L'\\';
    // The root components of an absolute path (drive, server and share, device or volume) are never climbed
    // above: a ".." at the root stays at the root, as the system's own normalisation has it. Only a relative
    // path keeps the ".." that it cannot resolve.
    size_t rootParts = 0;
    if (!prefix.empty())
        rootParts = startsWithNoCase(path, L"UNC\\") ? 3 : 1;
    else if (isDrivePath(path))
        rootParts = 1;
    else if (unc)
        rootParts = 2;
    const bool absolute = !prefix.empty() || isDrivePath(path) || leading;

    std::vector<std::wstring> parts;
    for (std::wstring& part : splitComponents(path)) {
        if (part == L".") continue;
        if (part == L"..") {
            if (parts.size() > rootParts && parts.back() != L"..") parts.pop_back();
            else if (!absolute) parts.push_back(std::move(part));
            continue;
        }
        parts.push_back(std::move(part));
    }

    std::wstring result = prefix;
    if (leading) result += unc ? L"\\\\" : L"\\";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) result += L'\\';
        result += parts[i];
    }
    if (trailing) result += L'\\';
    return result;
}

std::wstring VFileName::combine(const std::wstring& base, std::wstring more) {
    more.erase(0, more.find_first_not_of(L"\\/"));
    const std::wstring longBase = toLongPath(base);
    PWSTR combined = nullptr;
    const HRESULT hr = activeFunctions().allocCombine(longBase.c_str(), more.c_str(), kAllowLongPaths, &combined);
    const tarvo::unique_hlocal owner(combined);
    if (FAILED(hr) || !combined)
        throw vexception(formatString(L"PathAllocCombine(%s, %s) failed: error code 0x%lx", base, more,
                                      static_cast<unsigned long>(hr)),
                         errorFrame(L"", "VFileName::combine"));
    return stripLongPrefix(combined);
}

std::wstring VFileName::removeFileSpec(const std::wstring& path) {
    const std::wstring longPath = toLongPath(canonicalize(path));
    std::vector<wchar_t> buffer(longPath.c_str(), longPath.c_str() + longPath.size() + 1);
    const HRESULT hr = activeFunctions().removeFileSpec(buffer.data(), buffer.size());
    if (hr != S_OK && hr != S_FALSE)
        throw vexception(formatString(L"PathCchRemoveFileSpec(%s) failed: error code 0x%lx", path,
                                      static_cast<unsigned long>(hr)),
                         errorFrame(L"", "VFileName::removeFileSpec"));
    return stripLongPrefix(buffer.data());
}

std::wstring VFileName::expandEnvironmentStrings(const std::wstring& text) {
    const auto fail = [&] {
        throwOsError(formatString(L"ExpandEnvironmentStrings(%s)", text), ::GetLastError(),
                     errorFrame(L"", "VFileName::expandEnvironmentStrings"));
    };
    const DWORD needed = ::ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    if (needed == 0) fail();
    std::wstring expanded;
    try {
        expanded.assign(static_cast<size_t>(needed) + 1, L'\0');
    } catch (const std::bad_alloc&) {
        throwOutOfMemory();
    }
    if (::ExpandEnvironmentStringsW(text.c_str(), expanded.data(), needed + 1) == 0) fail();
    expanded.resize(wcsnlen(expanded.c_str(), expanded.size()));
    return expanded;
}

std::wstring VFileName::stripLongPrefix(std::wstring path) {
    if (startsWithNoCase(path, kLongUncPrefix) || startsWithNoCase(path, L"\\??\\UNC\\"))
        return L"\\\\" + path.substr(kLongUncPrefix.size());
    if (hasLongPrefix(path)) path.erase(0, kLongPrefix.size());
    return path;
}

std::wstring VFileName::trimTrailingSeparators(std::wstring path) {
    const size_t keep = path.find_last_not_of(L"\\/");
    path.erase(keep == std::wstring::npos ? 0 : keep + 1);
    return path;
}

std::wstring VFileName::fileName(const std::wstring& path) { return ::PathFindFileNameW(path.c_str()); }

std::wstring VFileName::extension(const std::wstring& path) { return ::PathFindExtensionW(path.c_str()); }

std::wstring VFileName::removeExtension(const std::wstring& path) {
    std::vector<wchar_t> buffer(path.c_str(), path.c_str() + path.size() + 1);
    ::PathRemoveExtensionW(buffer.data());
    return buffer.data();
}

std::wstring VFileName::directoryOf(const std::wstring& path) {
    return trimTrailingSeparators(path.substr(0, path.size() - fileName(path).size()));
}

bool VFileName::isPrefix(const std::wstring& prefix, const std::wstring& path) {
    return ::PathIsPrefixW(prefix.c_str(), path.c_str()) != FALSE;
}

int VFileName::comparePaths(const std::wstring& a, const std::wstring& b) {
    // "\\?\UNC\server" and "\\server" name the same server.
    const auto start = [](const std::wstring& path) -> size_t {
        if (startsWithNoCase(path, kLongUncPrefix)) return kLongUncPrefix.size();
        return hasLongPrefix(path) ? kLongPrefix.size() : 0;
    };
    size_t i = start(a);
    size_t j = start(b);
    for (;;) {
        const bool aEnded = i >= a.size();
        const bool bEnded = j >= b.size();
        if (aEnded && bEnded) return Equal;
        if (aEnded) return SecondBelowFirst;
        if (bEnded) return FirstBelowSecond;
        size_t aEnd = i, bEnd = j;
        while (aEnd < a.size() && !isSeparator(a[aEnd])) ++aEnd;
        while (bEnd < b.size() && !isSeparator(b[bEnd])) ++bEnd;
        if (aEnd - i != bEnd - j) return aEnd - i < bEnd - j ? FirstSortsFirst : SecondSortsFirst;
        for (; i < aEnd; ++i, ++j) {
            if (a[i] == b[j]) continue;
            const wchar_t ua = upper(a[i]);
            const wchar_t ub = upper(b[j]);
            if (ua != ub) return ua < ub ? FirstSortsFirst : SecondSortsFirst;
        }
        while (i < a.size() && isSeparator(a[i])) ++i;
        while (j < b.size() && isSeparator(b[j])) ++j;
    }
}

std::wstring VFileName::joinLongPath(const std::wstring& directory, const std::wstring& name) {
    if (directory.empty() && (equalsNoCase(name, L"CONOUT$") || equalsNoCase(name, L"CONIN$"))) return name;
    if (directory.empty() && name.empty()) throwRuntimeError(L"Empty input path", ERROR_INVALID_PARAMETER);

    std::wstring base = directory.empty() ? currentDirectory() : directory;
    const bool absolute = hasLongPrefix(base) || base.starts_with(kDevicePrefix) ||
                          (base.size() >= 2 && isSeparator(base[0]) && isSeparator(base[1])) ||
                          (isDrivePath(base) && (base.size() == 2 || isSeparator(base[2])));
    // Relative and drive-relative folders mean what they mean to every other file call of this process.
    if (!absolute) base = fullPathName(base);

    std::wstring root;
    std::vector<std::wstring> parts;
    if (startsWithNoCase(base, kLongUncPrefix) || startsWithNoCase(base, L"\\??\\UNC\\") ||
        (base.size() >= 2 && isSeparator(base[0]) && isSeparator(base[1]) && !hasLongPrefix(base) &&
         !base.starts_with(kDevicePrefix))) {
        parts = splitComponents(std::wstring_view(base).substr(base[2] == L'?' ? kLongUncPrefix.size() : 2));
        root = std::wstring(kLongUncPrefix);
        for (size_t k = 0; k < 2 && !parts.empty(); ++k) {  // server and share
            root += parts.front() + L'\\';
            parts.erase(parts.begin());
        }
    } else {
        if (hasLongPrefix(base) || base.starts_with(kDevicePrefix)) base.erase(0, kLongPrefix.size());
        parts = splitComponents(base);
        root = std::wstring(kLongPrefix);
        if (!parts.empty()) {  // the drive ("C:") or the volume
            root += parts.front() + L'\\';
            parts.erase(parts.begin());
        }
    }

    const auto invalid = [&] {
        throwRuntimeError(formatString(L"Invalid input path (%s) + (%s)", directory, name), ERROR_BAD_PATHNAME);
    };
    std::vector<std::wstring> resolved;
    const auto resolve = [&](std::vector<std::wstring> components) {
        for (std::wstring& component : components) {
            if (component == L".") continue;
            if (component == L"..") {
                if (resolved.empty()) invalid();
                resolved.pop_back();
                continue;
            }
            resolved.push_back(std::move(component));
        }
    };
    resolve(std::move(parts));
    resolve(splitComponents(name));

    std::wstring result = root;
    for (size_t k = 0; k < resolved.size(); ++k) {
        if (k > 0) result += L'\\';
        result += resolved[k];
    }
    // An empty name or one ending in a separator names a folder: the result keeps the separator.
    if ((name.empty() || isSeparator(name.back())) && result.back() != L'\\') result += L'\\';
    return result;
}

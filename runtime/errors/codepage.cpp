#include "runtime/errors/codepage.h"

#include <new>

#include "runtime/errors/vexception.h"

namespace {
// A failed allocation is the library's out-of-memory report, not std::bad_alloc.
template <typename Text>
Text allocate(int size) {
    try {
        return Text(static_cast<size_t>(size), typename Text::value_type{});
    } catch (const std::bad_alloc&) {
        throwOutOfMemory();
    }
}
}  // namespace

std::string cstr(const std::wstring& text, UINT codePage) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    if (size <= 0)
        throwOsError(L"Maps a wide-character (Unicode) string to a character stringz", ::GetLastError(),
                     errorFrame(L"", "cstr"));
    std::string result = allocate<std::string>(size);
    ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr,
                          nullptr);
    return result;
}

std::wstring wstr(const std::string& text, UINT codePage) {
    if (text.empty()) return {};
    const int size = ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0)
        throwOsError(L"Maps a character string to a wide-character (Unicode) string failed", ::GetLastError(),
                     errorFrame(L"", "wstr"));
    std::wstring result = allocate<std::wstring>(size);
    ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
    return result;
}

std::wstring tFromOEM(const std::string& text) { return wstr(text, CP_OEMCP); }
std::string tToOEM(const std::wstring& text) { return cstr(text, CP_OEMCP); }

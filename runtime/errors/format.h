#pragma once
// printf-style wide formatting ("%s" takes a wide string) that reports bad formats as ArgumentException.
#include <cwchar>
#include <string>
#include <type_traits>

namespace formatting_detail {
inline const wchar_t* arg(const std::wstring& s) noexcept { return s.c_str(); }
template <typename T>
T arg(T value) noexcept requires(std::is_arithmetic_v<T> || std::is_pointer_v<T> || std::is_enum_v<T>) {
    return value;
}
[[noreturn]] void sizeFailed();
[[noreturn]] void formatFailed();
}  // namespace formatting_detail

template <typename... Args>
int getFormatStringSize(const wchar_t* format, const Args&... args) {
    const int length = _scwprintf(format, formatting_detail::arg(args)...);
    if (length == -1) formatting_detail::sizeFailed();
    return length;
}

template <typename... Args>
std::wstring formatString(const wchar_t* format, const Args&... args) {
    const int length = getFormatStringSize(format, args...);
    std::wstring result(static_cast<size_t>(length), L'\0');
    if (_snwprintf(result.data(), static_cast<size_t>(length) + 1, format, formatting_detail::arg(args)...) == -1)
        formatting_detail::formatFailed();
    return result;
}

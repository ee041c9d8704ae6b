#include "runtime/errors/vexception.h"

#include <comdef.h>

#include "runtime/errors/codepage.h"
#include "runtime/errors/format.h"
#include "runtime/holder.h"

// The managed runtime's exception interface (dual); the first method of its own is the string form. Not in
// an anonymous namespace: the compiler would take an abstract class that nothing here implements for
// unreachable and turn the call into a pure-virtual trap.
namespace com_detail {
struct ManagedException : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_ToString(BSTR* text) = 0;
};
}  // namespace com_detail

namespace {

const GUID IID_ManagedException = {0xb36b5c63, 0x42ef, 0x38bc, {0xa0, 0x7e, 0x0b, 0x34, 0xc9, 0x8f, 0x16, 0x4a}};

// FormatMessage with an allocated buffer; empty when the system has no text for `code`.
std::wstring systemMessage(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        LANG_USER_DEFAULT, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    tarvo::unique_hlocal owner(buffer);
    if (length == 0 || buffer == nullptr) return {};
    return std::wstring(buffer, length);
}

void stripOneLineEnd(std::wstring& text) {
    if (!text.empty() && text.back() == L'\n') {
        text.pop_back();
        if (!text.empty() && text.back() == L'\r') text.pop_back();
    }
}

// Text for an HRESULT or code in the IDispatch range that the system does not know.
std::wstring unknownCodeText(DWORD code) {
    const DWORD dispatchCode = (code - 0x200) & 0xFFFF;
    if (code >= 0x80040200 && code <= 0x8004FFFF && dispatchCode != 0)
        return formatString(L"IDispatch error #%d", static_cast<int>(dispatchCode));
    return formatString(L"Unknown error 0x%0lX", static_cast<unsigned long>(code));
}

// FORMAT_MESSAGE_FROM_SYSTEM into a growing buffer, as the RunTime:: family reports it.
std::wstring runtimeSystemText(DWORD code) {
    std::wstring buffer(256, L'\0');
    for (;;) {
        const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, LANG_USER_DEFAULT,
                                              buffer.data(), static_cast<DWORD>(buffer.size()), nullptr);
        if (length != 0) {
            buffer.resize(length);
            stripOneLineEnd(buffer);
            return buffer;
        }
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || buffer.size() > 0x10000) return unknownCodeText(code);
        buffer.assign(buffer.size() * 2 + 2, L'\0');
    }
}

}  // namespace

vexception::vexception(std::wstring message) : message_(std::move(message)) {}

vexception::vexception(std::wstring message, ErrorFrame frame) : message_(std::move(message)) {
    frames_.push_back(std::move(frame));
}

vexception::vexception(const _com_error& error, const std::wstring& where, std::string function, int line) {
    const HRESULT hr = error.Error();
    std::wstring text = systemMessage(static_cast<DWORD>(hr));
    stripOneLineEnd(text);
    if (text.empty()) text = unknownCodeText(static_cast<DWORD>(hr));

    // Errors raised by managed code answer the managed exception interface; their string form (type,
    // message and stack) says more than the description.
    std::wstring description;
    bool interop = false;
    // ErrorInfo() hands out a reference of its own.
    if (const tarvo::com_ptr<IErrorInfo> info(error.ErrorInfo()); info) {
        tarvo::unique_bstr bstr;
        if (SUCCEEDED(info->GetDescription(bstr.put())) && bstr) description = bstr.get();
        tarvo::com_ptr<com_detail::ManagedException> managed;
        if (SUCCEEDED(info->QueryInterface(IID_ManagedException, managed.put_void())) && managed) {
            interop = true;
            tarvo::unique_bstr text;
            if (!description.empty() && SUCCEEDED(managed->get_ToString(text.put())) && text && *text.get())
                description = text.get();
        }
    }
    text += formatString(interop ? L" (COM Interop Error %08X" : L" (COM Error %08X", static_cast<unsigned>(hr));
    if (!description.empty()) text += L", Description: " + description;
    text += L")\n   at " + where;
    message_ = std::move(text);
    frames_.push_back(ErrorFrame{L"", std::move(function), line});
}

vexception::~vexception() = default;

vexception& vexception::addFrame(ErrorFrame frame) {
    frames_.push_back(std::move(frame));
    return *this;
}

std::wstring vexception::toString() const {
    std::wstring result = message_;
    for (const ErrorFrame& frame : frames_) {
        result += L"\n   at ";
        result += frame.text;
        result += L"(";
        result += wstr(frame.function);
        result += L" line ";
        result += std::to_wstring(frame.line);
        result += L")";
    }
    return result;
}

vosexception::vosexception(DWORD code, const std::wstring& text, ErrorFrame frame)
    : vexception(osErrorText(code, &text), std::move(frame)), code_(code) {}

std::wstring toString(const cwrpexception& e) {
    return formatString(L"C structured exception: 0x%x", e.code);
}

std::wstring osErrorText(DWORD code, const std::wstring* text) {
    std::wstring suffix = formatString(L" (Error code %lu)", static_cast<unsigned long>(code));
    if (text != nullptr) suffix += L" at " + *text;
    std::wstring message = systemMessage(code);
    if (message.empty()) return L"Unknown error" + suffix;
    while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n')) message.pop_back();
    return message + suffix;
}

void throwOsError(const std::wstring& text, DWORD code, ErrorFrame frame) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND: throw VFileNotFoundException(code, text, std::move(frame));
        case ERROR_PATH_NOT_FOUND: throw VPathNotFoundException(code, text, std::move(frame));
        case ERROR_ACCESS_DENIED: throw VAccessDeniedException(code, text, std::move(frame));
        case ERROR_OUTOFMEMORY: throw VOutOfMemoryException(code, text, std::move(frame));
        case ERROR_SHARING_VIOLATION: throw VSharingViolationException(code, text, std::move(frame));
        case ERROR_HANDLE_EOF: throw VEOFException(code, text, std::move(frame));
        case ERROR_FILE_EXISTS: throw VFileExistsException(code, text, std::move(frame));
        case ERROR_INSUFFICIENT_BUFFER: throw VInsufficientBufferException(code, text, std::move(frame));
        case ERROR_ALREADY_EXISTS: throw VAlreadyExistsException(code, text, std::move(frame));
        case ERROR_NO_DATA: throw VPipeClosedException(code, text, std::move(frame));
        case ERROR_SERVICE_DOES_NOT_EXIST: throw VServiceDoesNotExistException(code, text, std::move(frame));
        case ERROR_SERVICE_MARKED_FOR_DELETE: throw VServiceMarkedForDeleteException(code, text, std::move(frame));
        case ERROR_SERVICE_EXISTS: throw VServiceAlreadyExistsException(code, text, std::move(frame));
        case 2245 /* NERR_PasswordTooShort */: throw VPasswordTooShortException(code, text, std::move(frame));
        default: throw vosexception(code, text, std::move(frame));
    }
}

void throwOutOfMemory() {
    throw vexception(osErrorText(ERROR_OUTOFMEMORY, nullptr));
}

void throwRuntimeError(const std::wstring& context, DWORD code) {
    if (code == 0) throw std::runtime_error(cstr(context));
    const std::string text =
        cstr(formatString(L"%s: (%d) %s", context, static_cast<int>(code), runtimeSystemText(code)));
    switch (code) {
        case 2: case 3: throw RunTime::PathNotFoundException(text);
        case 5: throw RunTime::AccessDeniedException(text);
        case 6: throw RunTime::InvalidHandleException(text);
        case 15: case 26: case 34: case 123: case 161: case 267: throw RunTime::InvalidPathException(text);
        case 32: case 33: case 36: throw RunTime::SharingViolationException(text);
        case 80: case 183: throw RunTime::AlreadyExistsException(text);
        case 145: throw RunTime::DirectoryNotEmptyException(text);
        case 1332: throw RunTime::NoneMappedException(text);
        default: throw std::runtime_error(text);
    }
}

namespace formatting_detail {
void sizeFailed() {
    throw ArgumentException(L"_scwprintf() failed: invalid arguments", ErrorFrame{L"", "getFormatStringSize", __LINE__});
}
void formatFailed() {
    throw ArgumentException(L"swprintf() failed: invalid arguments", ErrorFrame{L"", "formatString", __LINE__});
}
}  // namespace formatting_detail

#pragma once
// Exceptions with a trail of error frames, the Win32-code mapping and the RunTime:: family.
#include <windows.h>
#include <source_location>
#include <stdexcept>
#include <string>
#include <vector>

class _com_error;

// One step of an exception's way out: where it was thrown or annotated.
struct ErrorFrame {
    std::wstring text;      // context given at the catch site; empty at the throw site
    std::string function;   // qualified function name
    int line = 0;
};

inline ErrorFrame errorFrame(std::wstring text, std::string function,
                             std::source_location where = std::source_location::current()) {
    return ErrorFrame{std::move(text), std::move(function), static_cast<int>(where.line())};
}

class vexception {
public:
    explicit vexception(std::wstring message);
    vexception(std::wstring message, ErrorFrame frame);
    // A COM failure seen at `where` inside `function`.
    vexception(const _com_error& error, const std::wstring& where, std::string function, int line);
    vexception(const vexception&) = default;
    vexception& operator=(const vexception&) = default;
    virtual ~vexception();

    vexception& addFrame(ErrorFrame frame);
    const std::wstring& message() const noexcept { return message_; }
    const std::vector<ErrorFrame>& frames() const noexcept { return frames_; }
    // Message followed by one "\n   at text(function line N)" per frame.
    std::wstring toString() const;

private:
    std::wstring message_;
    std::vector<ErrorFrame> frames_;
};

class ArgumentException : public vexception {
public:
    using vexception::vexception;
};

namespace vserializer {
class invalidprotocol : public vexception {
public:
    using vexception::vexception;
};
}  // namespace vserializer

class vosexception : public vexception {
public:
    vosexception(DWORD code, const std::wstring& text, ErrorFrame frame);
    DWORD code() const noexcept { return code_; }

private:
    DWORD code_;
};

#define TARVO_OS_EXCEPTION(Name) \
    class Name : public vosexception { \
    public: \
        using vosexception::vosexception; \
    }
TARVO_OS_EXCEPTION(VFileNotFoundException);
TARVO_OS_EXCEPTION(VPathNotFoundException);
TARVO_OS_EXCEPTION(VAccessDeniedException);
TARVO_OS_EXCEPTION(VOutOfMemoryException);
TARVO_OS_EXCEPTION(VSharingViolationException);
TARVO_OS_EXCEPTION(VEOFException);
TARVO_OS_EXCEPTION(VFileExistsException);
TARVO_OS_EXCEPTION(VInsufficientBufferException);
TARVO_OS_EXCEPTION(VAlreadyExistsException);
TARVO_OS_EXCEPTION(VPipeClosedException);
TARVO_OS_EXCEPTION(VServiceDoesNotExistException);
TARVO_OS_EXCEPTION(VServiceMarkedForDeleteException);
TARVO_OS_EXCEPTION(VServiceAlreadyExistsException);
TARVO_OS_EXCEPTION(VPasswordTooShortException);
#undef TARVO_OS_EXCEPTION

// A structured exception (access violation and the like) turned into a C++ exception.
struct cwrpexception {
    unsigned int code;
};
std::wstring toString(const cwrpexception& e);

// The system's sentence for `code` followed by " (Error code N)" and, when given, " at " + text.
std::wstring osErrorText(DWORD code, const std::wstring* text);

// Throws the vosexception subclass that belongs to `code`.
[[noreturn]] void throwOsError(const std::wstring& text, DWORD code, ErrorFrame frame);
// The out-of-memory report of raw allocations: a plain vexception without frames.
[[noreturn]] void throwOutOfMemory();

namespace RunTime {
#define TARVO_RUNTIME_EXCEPTION(Name) \
    class Name : public std::runtime_error { \
    public: \
        using std::runtime_error::runtime_error; \
    }
TARVO_RUNTIME_EXCEPTION(PathNotFoundException);
TARVO_RUNTIME_EXCEPTION(AccessDeniedException);
TARVO_RUNTIME_EXCEPTION(InvalidHandleException);
TARVO_RUNTIME_EXCEPTION(InvalidPathException);
TARVO_RUNTIME_EXCEPTION(SharingViolationException);
TARVO_RUNTIME_EXCEPTION(AlreadyExistsException);
TARVO_RUNTIME_EXCEPTION(DirectoryNotEmptyException);
TARVO_RUNTIME_EXCEPTION(NoneMappedException);
#undef TARVO_RUNTIME_EXCEPTION
}  // namespace RunTime

// "context: (code) system text" in the ANSI code page, thrown as the RunTime:: class for `code`.
[[noreturn]] void throwRuntimeError(const std::wstring& context, DWORD code);

#include "runtime/filesystem/replacefile.h"

#include "runtime/errors/format.h"
#include "runtime/errors/vexception.h"
#include "runtime/filesystem/vfilename.h"
#include "runtime/holder.h"

namespace replacefile_detail {
ReplaceFunction replaceFunction = &::ReplaceFileW;
}

namespace {

[[noreturn]] void fail(const wchar_t* what, const std::wstring& path, DWORD code, const char* function) {
    throwOsError(formatString(what, path), code, errorFrame(L"", function));
}

bool exists(const std::wstring& longPath) { return ::GetFileAttributesW(longPath.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

void replaceFile(const std::wstring& replacement, const std::wstring& target) {
    const std::wstring longReplacement = VFileName::toLongPath(replacement);
    const std::wstring longTarget = VFileName::toLongPath(target);
    const bool replaced =
        exists(longTarget)
            ? replacefile_detail::replaceFunction(longTarget.c_str(), longReplacement.c_str(), nullptr, 0, nullptr,
                                                  nullptr) != FALSE
            : ::MoveFileExW(longReplacement.c_str(), longTarget.c_str(), MOVEFILE_WRITE_THROUGH) != FALSE;
    if (!replaced) fail(L"Unable to replace the file '%s'", target, ::GetLastError(), "replaceFile");
}

void replaceFileContent(const std::wstring& target, std::string_view content) {
    const std::wstring temporary = target + L".new";
    const std::wstring longTemporary = VFileName::toLongPath(temporary);
    // Whatever fails below, nothing stays beside the target.
    struct Cleanup {
        const std::wstring& path;
        bool armed = true;
        ~Cleanup() {
            if (armed) ::DeleteFileW(path.c_str());
        }
    } cleanup{longTemporary};
    {
        tarvo::unique_file file(::CreateFileW(longTemporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) fail(L"Unable to create the file '%s'", temporary, ::GetLastError(), "replaceFileContent");
        DWORD written = 0;
        if (!::WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) ||
            written != content.size() || !::FlushFileBuffers(file.get()))
            fail(L"Unable to write the file '%s'", temporary, ::GetLastError(), "replaceFileContent");
    }
    replaceFile(temporary, target);
    cleanup.armed = false;
}

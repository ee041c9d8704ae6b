#include "runtime/filesystem/replacefile.h"

#include "runtime/errors/annotate.h"
#include "runtime/errors/format.h"
#include "runtime/filesystem/fileops.h"
#include "runtime/filesystem/vfilename.h"
#include "runtime/logging/logmanager.h"

namespace {
// What SetFileAttributesW can set; the others (compressed, encrypted, a reparse point...) it cannot.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                      FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_TEMPORARY;
}  // namespace

namespace replacefile_detail {
ReplaceFunction replaceFunction = &::ReplaceFileW;
}

void replaceFile(const std::wstring& replacement, const std::wstring& target, const std::wstring& backup) {
    const auto text = [&] { return formatString(L"Unable to replace the file '%s'", target); };
    if (!fileExist(target)) {
        annotate("replaceFile", text, [&] { VFile::moveEx(replacement, target, MOVEFILE_WRITE_THROUGH); });
        return;
    }
    const std::wstring longReplacement = VFileName::toLongPath(replacement);
    const std::wstring longTarget = VFileName::toLongPath(target);
    const std::wstring longBackup = backup.empty() ? backup : VFileName::toLongPath(backup);
    // The system refuses to replace a read-only file (access denied): the flag is off for the swap, and the
    // file, old or new, has its attributes again afterwards.
    const DWORD attributes = getFileAttributes(target) & kSettableAttributes;
    const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly) annotate("replaceFile", text, [&] { setFileAttributes(target, FILE_ATTRIBUTE_READONLY); });
    const auto restoreAttributes = [&] {
        if (readOnly && !::SetFileAttributesW(longTarget.c_str(), attributes))
            vlog(LogLevel::Warning, L"The file '%s' could not have its read-only flag again: error code %lu", target,
                 static_cast<unsigned long>(::GetLastError()));
    };
    if (replacefile_detail::replaceFunction(longTarget.c_str(), longReplacement.c_str(),
                                            longBackup.empty() ? nullptr : longBackup.c_str(), 0, nullptr, nullptr)) {
        restoreAttributes();
        return;
    }
    const DWORD code = ::GetLastError();
    // The system may have renamed the target to the backup before it failed to move the replacement in
    // (ERROR_UNABLE_TO_MOVE_REPLACEMENT_2): the target takes its name back.
    if (!longBackup.empty() && !fileExist(target) && fileExist(backup))
        ::MoveFileExW(longBackup.c_str(), longTarget.c_str(), MOVEFILE_WRITE_THROUGH);
    restoreAttributes();
    throwFileError(code, text(), {target, replacement}, "replaceFile");
}

void replaceFileContent(const std::wstring& target, std::string_view content, const std::wstring& backup) {
    replaceFileContent(target, [&](BufferedWriter& out) { out.write(content); }, backup);
}

void replaceFileContent(const std::wstring& target, const std::function<void(BufferedWriter&)>& write,
                        const std::wstring& backup) {
    const std::wstring temporary = target + L".new";
    try {
        annotate("replaceFileContent", [&] { return formatString(L"Unable to write the file '%s'", temporary); }, [&] {
            VFile file(temporary, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
            BufferedWriter out(file);
            write(out);
            out.flush();
            file.flush();
        });
        replaceFile(temporary, target, backup);
    } catch (...) {
        // Whatever failed, nothing stays beside the target.
        (void)captureFailure("replaceFileContent", L"", [&] { removeFile(temporary, false, false, 0, 0); });
        throw;
    }
}

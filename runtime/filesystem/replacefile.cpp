#include "runtime/filesystem/replacefile.h"

#include "runtime/errors/annotate.h"
#include "runtime/errors/format.h"
#include "runtime/filesystem/fileops.h"
#include "runtime/filesystem/vfilename.h"

namespace replacefile_detail {
ReplaceFunction replaceFunction = &::ReplaceFileW;
}

void replaceFile(const std::wstring& replacement, const std::wstring& target) {
    const auto text = [&] { return formatString(L"Unable to replace the file '%s'", target); };
    if (!fileExist(target)) {
        annotate("replaceFile", text, [&] { VFile::moveEx(replacement, target, MOVEFILE_WRITE_THROUGH); });
        return;
    }
    const std::wstring longReplacement = VFileName::toLongPath(replacement);
    const std::wstring longTarget = VFileName::toLongPath(target);
    if (!replacefile_detail::replaceFunction(longTarget.c_str(), longReplacement.c_str(), nullptr, 0, nullptr, nullptr))
        throwFileError(::GetLastError(), text(), {target, replacement}, "replaceFile");
}

void replaceFileContent(const std::wstring& target, std::string_view content) {
    const std::wstring temporary = target + L".new";
    try {
        annotate("replaceFileContent", [&] { return formatString(L"Unable to write the file '%s'", temporary); }, [&] {
            VFile file(temporary, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
            file.writeAll(content);
            file.flush();
        });
        replaceFile(temporary, target);
    } catch (...) {
        // Whatever failed, nothing stays beside the target.
        (void)captureFailure("replaceFileContent", L"", [&] { removeFile(temporary, false, false, 0, 0); });
        throw;
    }
}

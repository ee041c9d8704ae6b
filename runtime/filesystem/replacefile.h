#pragma once
// Rewriting a file so that it always holds either its old or its new bytes, and keeps what an administrator
// set on it: the new bytes are written beside the file, flushed, and swapped in with one step. An existing
// file is replaced with ReplaceFileW, which keeps its security descriptor, attributes and streams (a plain
// move would give it those of the new file); a read-only file has the flag cleared for the swap and set
// again. A file that does not exist yet is moved into place.
#include <windows.h>

#include <functional>
#include <string>
#include <string_view>

class BufferedWriter;

// Writes `content` to `target` + ".new" and puts it in place of `target` (the previous file becoming `backup`,
// as with replaceFile). On failure the target is as it was and nothing is left beside it.
void replaceFileContent(const std::wstring& target, std::string_view content, const std::wstring& backup = {});
// As above, with the content handed piece by piece to the writer by `write`.
void replaceFileContent(const std::wstring& target, const std::function<void(BufferedWriter&)>& write,
                        const std::wstring& backup = {});
// Puts the complete file `replacement` in place of `target` as above; afterwards `replacement` is gone. With a
// `backup` name, an existing target becomes that file in the same step (a file of that name is replaced).
// On failure the target holds its old bytes and `replacement` is left to the caller.
void replaceFile(const std::wstring& replacement, const std::wstring& target, const std::wstring& backup = {});

namespace replacefile_detail {
using ReplaceFunction = BOOL(WINAPI*)(LPCWSTR replaced, LPCWSTR replacement, LPCWSTR backup, DWORD flags,
                                      LPVOID exclude, LPVOID reserved);
// ReplaceFileW; tests put a recorder in its place to see what is asked of the system.
extern ReplaceFunction replaceFunction;
}  // namespace replacefile_detail

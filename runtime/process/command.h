#pragma once
// Command lines for child processes: the quoting of one argument, environment blocks, and the resolution of
// a program or script name into a complete command line that starts it (through its interpreter for a
// script).
#include <map>
#include <string>
#include <vector>

// `argument` quoted so that the child's command-line parser (CommandLineToArgvW, the C runtime's) gives it
// back unchanged: returned as it is when non-empty and free of blanks and of the characters
// " & < > ( ) [ ] { } ^ = ; ! ' + , ` ~ |; otherwise in double quotes, every double quote preceded by a
// backslash and the backslashes before a double quote or the closing quote doubled.
std::wstring quoteArgument(const std::wstring& argument);

// A set of environment variables (it does not start from the caller's) for a child process. Names are kept
// upper-cased (the system's Unicode mapping), so that names differing in case are one variable.
class ProcessEnvironment {
public:
    // Inserts or replaces the variable.
    void set(const std::wstring& name, const std::wstring& value);
    // "NAME=value" entries, each ended by a NUL, in code-unit order of the names, then one more NUL (a block of
    // one NUL when empty): what CreateProcess takes with CREATE_UNICODE_ENVIRONMENT.
    std::wstring block() const;
    const std::map<std::wstring, std::wstring>& entries() const noexcept { return entries_; }

private:
    std::map<std::wstring, std::wstring> entries_;
};

// `text` upper-cased with the system's Unicode mapping (RtlUpcaseUnicodeChar).
std::wstring upcase(std::wstring text);

// The command line that starts `program` with `arguments` (already quoted; appended unchanged after one
// blank):
// - the program is looked for as named, then in the current directory, the system directory, the Windows
//   directory and each folder of the PATH of `environmentBlock` (none when the block is empty); a name that
//   does not exist as written matches the first file named like it with any extension ("tool" finds
//   "tool.exe");
// - an executable image starts as it is ("F" A); a script through its interpreter, chosen by its content
//   (PHP source), its "#!" line (perl, python, php), or its extension (.bat/.cmd directly, .vbs/.js/... through
//   cscript, .pl/.pm Perl, .py/.pyc Python, .php/.php3 PHP). Perl, Python and PHP are found through the
//   management service (their component directories); with `useProductPhp` PHP is the product's own
//   ("PRODUCT_ROOT_D" \admin\engine\php.exe, started with -q);
// - with `rawOnly` the file found starts as it is, whatever it is, and a name that only exists as written
//   (not found by the search) is started as such.
// Failures are std::runtime_error texts: "'%s' is not recognized as an internal or external command,
// operable program or batch file.", "Unable to start (%s): Is not a known application[ (%s)]",
// "Unable to start (%s): Perl|Python|PHP is not installed".
std::wstring resolveCommand(const std::wstring& program, const std::wstring& arguments,
                            const std::wstring& environmentBlock, bool rawOnly, bool useProductPhp);

namespace command_detail {
// The folders of the PATH entry of an environment block (name compared without regard to case), in order,
// empty pieces dropped.
std::vector<std::wstring> pathFolders(const std::wstring& environmentBlock);
}  // namespace command_detail

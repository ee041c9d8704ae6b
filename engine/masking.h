#pragma once
// Secrets in logged text. The rule: no value of an option or argument whose key contains "password",
// "passwd" or "pwd", in any letter case, reaches a log line or a message in clear. The text that is used
// (parsed, executed) is never changed; only its logged copy is.
//
// maskSecrets is that rule, applied to each line of a text:
// 1. every key-value form: a key containing one of the three words, followed by "=" or ":" (blanks around
//    them allowed), or an option key ("-..." or "/...") followed by blanks and its value: "-Password=x",
//    "PWD=x", "/DBPASSWORD=x", "--db-pwd x", "password: x", "Pwd = x". The value ends where its quotes close
//    ("...", '...', &quot;...&quot;), at the quote that encloses the whole key and value ("-password=a b"),
//    or else at a blank or a double quote. It becomes one asterisk (inside its quotes);
// 2. the known (opening, closing) pairs, matched without regard to case: the value after the opening is
//    replaced by one asterisk up to the closing text (kept), or to the end of the line when none follows.
// Masking more than the value is accepted; masking less never.
//
// The installer session passes every log line and message through maskSecrets, the log manager every library
// message; command lines are logged through maskCommandLine, which first takes the line apart into arguments.
#include <span>
#include <string>
#include <string_view>

struct MaskPair {
    const wchar_t* opening;
    const wchar_t* closing;
};

// The value after each `opening` (matched without regard to ASCII letter case) replaced by "*" up to the
// next `closing` (searched from the value's second character on), or the rest of the text when none follows.
std::wstring mask(const std::wstring& text, const std::wstring& opening, const std::wstring& closing);
// Applies the pairs in order, each to the previous one's result.
std::wstring maskAll(std::wstring text, std::span<const MaskPair> pairs);

// The pairs for action scripts, for logged command lines, and for the PHP action's command text.
std::span<const MaskPair> engineMaskPairs() noexcept;
std::span<const MaskPair> commandMaskPairs() noexcept;
std::span<const MaskPair> phpMaskPairs() noexcept;

// True when `key` contains "password", "passwd" or "pwd" in any letter case.
bool isSecretKey(std::wstring_view key) noexcept;

// The masking rule of every logged text (see above), line by line.
std::wstring maskSecrets(const std::wstring& text);

// A command line taken apart with the system's parser: each argument "key=value..." whose key is secret
// becomes "key=*" (one "=*" per further "=" piece), every argument quoted as the child's parser needs,
// separated by blanks. An unparsable or blank line gives "".
std::wstring maskArguments(const std::wstring& commandLine);
// A command line fit for the log: maskArguments, the command pairs, then maskSecrets.
std::wstring maskCommandLine(const std::wstring& commandLine);

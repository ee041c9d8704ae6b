#pragma once
// Secrets in logged text. The rule: no value of an option or argument whose key contains "password",
// "passwd" or "pwd", in any letter case, reaches a log line or a message in clear. The text that is used
// (parsed, executed) is never changed; only its logged copy is.
//
// Masking finds the span of each secret in the text as written and replaces that span, and only it, by one
// asterisk; everything around it stays as it was. Masking a little more than the secret is accepted, less
// never. The spans:
// 1. every key-value form: a key containing one of the three words, followed by "=" or ":" (blanks around
//    them allowed), or an option key ("-..." or "/...") followed by blanks or a comma and its value:
//    "-Password=x", "PWD=x", "/DBPASSWORD=x", "--db-pwd x", "password: x", "Pwd = x", "/password,x". A quoted
//    value ("...", '...', &quot;...&quot;) is masked inside its quotes. A value after a quote that encloses
//    the key ("-password=a b") runs to that quote's closing. Otherwise an option's value ends at a blank or
//    a quote; any other key's value (a connection string's "Pwd=top secret;") at a ";", a quote or the end
//    of the line (in a command line, outside quotes, at a blank or a quote);
// 2. in an action script, the `parameters` of each `action` element but a Cmd's are taken as the factories
//    take them, comma fields: such a value ends at its field's end; the field after a field that names a
//    secret ("--db-password,x", FixIniFile's "password,x") is masked whole, and so are both values of a
//    FixConfFile directive that names one;
// 3. in a command line, the value of each argument "key=value" whose key is secret, to the argument's end.
//
// The installer session passes every log line and message through maskSecrets, the log manager every library
// message; command lines are logged through maskCommandLine.
#include <string>
#include <string_view>

// True when `key` contains "password", "passwd" or "pwd" in any letter case.
bool isSecretKey(std::wstring_view key) noexcept;

// Spans 1 and 2 (see above) masked; lines are taken one by one, so a value never runs past its line.
std::wstring maskSecrets(const std::wstring& text);

// A command line exactly as it runs, with spans 1 and 3 masked.
std::wstring maskCommandLine(const std::wstring& commandLine);

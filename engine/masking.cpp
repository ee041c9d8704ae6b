#include "engine/masking.h"

#include <windows.h>
#include <shellapi.h>

#include <cwctype>

#include "engine/action.h"
#include "runtime/holder.h"
#include "runtime/logging/logmanager.h"
#include "runtime/process/command.h"

namespace {
const MaskPair enginePairs[] = {
    {L"&quot;--password=", L"&quot;"},
    {L"-password=\"", L"\""},
    {L"-password=", L" "},
    {L"-passwd \"", L"\""},
    {L"-password ", L"\""},
    {L",-password,", L"\""},
    {L"-database-user-password ", L" "},
    {L"_PASSWORD$=", L"\""},
    {L"@@DATABASE_PASSWORD@@=", L","},
    {L"@@DB_USER_PASSWORD@@=", L"\""},
};
const MaskPair commandPairs[] = {
    {L"-database-user-password ", L" "},
    {L"-password=\"", L"\""},
    {L"-password=", L" "},
    {L"-passwd \"", L"\""},
    {L"-password ", L"\""},
};
const MaskPair phpPairs[] = {
    {L"-password ", L"'"},
};

constexpr std::wstring_view secretWords[] = {L"password", L"passwd", L"pwd"};
constexpr std::wstring_view quotEntity = L"&quot;";

// Library messages are masked before they reach any log.
[[maybe_unused]] const bool libraryMessagesMasked = (LogManager::setMessageFilter(&maskSecrets), true);

constexpr wchar_t foldAscii(wchar_t c) noexcept { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c; }

bool matchesAt(std::wstring_view text, size_t at, std::wstring_view part) noexcept {
    if (at > text.size() || text.size() - at < part.size()) return false;
    for (size_t k = 0; k < part.size(); ++k)
        if (foldAscii(text[at + k]) != foldAscii(part[k])) return false;
    return true;
}

size_t findNoCase(std::wstring_view text, std::wstring_view part, size_t from) noexcept {
    if (part.empty() || from > text.size()) return std::wstring_view::npos;
    const wchar_t first = foldAscii(part[0]);
    for (size_t i = from; i + part.size() <= text.size(); ++i)
        if (foldAscii(text[i]) == first && matchesAt(text, i, part)) return i;
    return std::wstring_view::npos;
}

// The first secret word at or after `from`, and its length.
size_t findSecretWord(std::wstring_view text, size_t from, size_t& length) noexcept {
    size_t found = std::wstring_view::npos;
    for (std::wstring_view word : secretWords) {
        const size_t at = findNoCase(text, word, from);
        if (at < found) {
            found = at;
            length = word.size();
        }
    }
    return found;
}

// Every pair's opening contains one of these: text without them has nothing to mask.
bool mayHoldSecret(std::wstring_view text) noexcept {
    return findNoCase(text, L"passw", 0) != std::wstring_view::npos ||
           findNoCase(text, L"pwd", 0) != std::wstring_view::npos;
}

bool keyChar(wchar_t c) noexcept {
    return std::iswalnum(c) || c == L'_' || c == L'-' || c == L'.' || c == L'$' || c == L'@';
}

bool blank(wchar_t c) noexcept { return c == L' ' || c == L'\t'; }

size_t skipBlanks(std::wstring_view text, size_t at) noexcept {
    while (at < text.size() && blank(text[at])) ++at;
    return at;
}

// The position of the quote that closes a value opened at `from` - 1, or npos.
size_t closingQuote(std::wstring_view text, size_t from, wchar_t quote) noexcept {
    for (size_t i = from; i < text.size(); ++i) {
        if (quote == L'"' && text[i] == L'\\' && i + 1 < text.size() && text[i + 1] == L'"') {
            ++i;  // an escaped quote belongs to the value
            continue;
        }
        if (text[i] == quote) return i;
    }
    return std::wstring_view::npos;
}

// The quote that directly precedes the key, if any: it encloses the key and its value.
std::wstring_view enclosingQuote(std::wstring_view line, size_t keyStart) noexcept {
    if (keyStart > 0 && (line[keyStart - 1] == L'"' || line[keyStart - 1] == L'\''))
        return line.substr(keyStart - 1, 1);
    if (keyStart >= quotEntity.size() && matchesAt(line, keyStart - quotEntity.size(), quotEntity)) return quotEntity;
    return {};
}

// Where the value of a secret key starts (npos when the key has none): after "=" or ":" with blanks around
// them, or after the blanks that follow an option key. `enclosing` is cleared when it turns out to close
// the key itself ("password": ...).
size_t valueStart(std::wstring_view line, size_t keyStart, size_t keyEnd, std::wstring_view& enclosing) noexcept {
    size_t at = keyEnd;
    if (!enclosing.empty() && matchesAt(line, at, enclosing)) {
        at += enclosing.size();
        enclosing = {};
    }
    const size_t afterKey = at;
    at = skipBlanks(line, at);
    if (at < line.size() && (line[at] == L'=' || line[at] == L':')) return skipBlanks(line, at + 1);
    const bool option = line[keyStart] == L'-' || line[keyStart] == L'/';
    return option && at > afterKey && at < line.size() ? at : std::wstring_view::npos;
}

// The value's end (exclusive) and what stands for it.
size_t valueEnd(std::wstring_view line, size_t start, std::wstring_view enclosing, std::wstring& replacement) {
    const auto quoted = [&](std::wstring_view quote, size_t close) {
        replacement.assign(quote);
        replacement += L'*';
        if (close == std::wstring_view::npos) return line.size();
        replacement.append(quote);
        return close + quote.size();
    };
    if (matchesAt(line, start, quotEntity))
        return quoted(quotEntity, findNoCase(line, quotEntity, start + quotEntity.size()));
    if (line[start] == L'"' || line[start] == L'\'')
        return quoted(line.substr(start, 1), closingQuote(line, start + 1, line[start]));
    replacement = L"*";
    size_t end = start;
    while (end < line.size() && !std::iswspace(line[end]) && line[end] != L'"' && !matchesAt(line, end, quotEntity))
        ++end;
    // A value masked already stays as it is, whatever quotes a masked command line lost around it
    // ("-password=* "-v").
    if (enclosing.empty() || (end == start + 1 && line[start] == L'*')) return end;
    const size_t close = enclosing == quotEntity ? findNoCase(line, quotEntity, start)
                                                  : closingQuote(line, start, enclosing[0]);
    return close == std::wstring_view::npos ? line.size() : close;
}

// Step 2 of the rule: the key-value forms, on one line.
std::wstring maskKeyValues(std::wstring_view line) {
    std::wstring result;
    size_t copied = 0;
    size_t search = 0;
    for (;;) {
        size_t wordLength = 0;
        const size_t word = findSecretWord(line, search, wordLength);
        if (word == std::wstring_view::npos) break;
        size_t keyStart = word;
        while (keyStart > copied && keyChar(line[keyStart - 1])) --keyStart;
        if (keyStart > copied && line[keyStart - 1] == L'/') --keyStart;
        size_t keyEnd = word + wordLength;
        while (keyEnd < line.size() && keyChar(line[keyEnd])) ++keyEnd;
        search = keyEnd;
        std::wstring_view enclosing = enclosingQuote(line, keyStart);
        const size_t start = valueStart(line, keyStart, keyEnd, enclosing);
        if (start == std::wstring_view::npos || start >= line.size()) continue;
        std::wstring replacement;
        const size_t end = valueEnd(line, start, enclosing, replacement);
        if (end == start) continue;
        result.append(line, copied, start - copied);
        result += replacement;
        copied = search = end;
    }
    result.append(line, copied);
    return result;
}

std::wstring maskLine(const std::wstring& line) {
    if (!mayHoldSecret(line)) return line;
    // The key-value forms first, on the text as written; the pairs then mask what they know of what is left.
    return maskAll(maskAll(maskKeyValues(line), engineMaskPairs()), phpMaskPairs());
}

}  // namespace

std::wstring mask(const std::wstring& text, const std::wstring& opening, const std::wstring& closing) {
    std::wstring result;
    size_t position = 0;
    for (;;) {
        const size_t start = findNoCase(text, opening, position);
        if (start == std::wstring::npos) {
            result.append(text, position, std::wstring::npos);
            return result;
        }
        const size_t valueStart = start + opening.size();
        result.append(text, position, valueStart - position);
        result += L'*';
        // The value's first character never counts as its closing delimiter.
        const size_t close = findNoCase(text, closing, valueStart + 1);
        if (close == std::wstring::npos) return result;
        position = close;
    }
}

std::wstring maskAll(std::wstring text, std::span<const MaskPair> pairs) {
    for (const MaskPair& pair : pairs) text = mask(text, pair.opening, pair.closing);
    return text;
}

std::span<const MaskPair> engineMaskPairs() noexcept { return enginePairs; }
std::span<const MaskPair> commandMaskPairs() noexcept { return commandPairs; }
std::span<const MaskPair> phpMaskPairs() noexcept { return phpPairs; }

bool isSecretKey(std::wstring_view key) noexcept {
    size_t length = 0;
    return findSecretWord(key, 0, length) != std::wstring_view::npos;
}

std::wstring maskSecrets(const std::wstring& text) {
    if (!mayHoldSecret(text)) return text;
    // Line by line: a value never spans lines, and a pair without its closing text masks to the line's end
    // only, so that the rest of a message (an exit code, the output) stays readable.
    std::wstring result;
    size_t position = 0;
    while (position < text.size()) {
        const size_t end = text.find_first_of(L"\r\n", position);
        const size_t lineEnd = end == std::wstring::npos ? text.size() : end;
        result += maskLine(text.substr(position, lineEnd - position));
        if (end == std::wstring::npos) break;
        result += text[end];
        position = end + 1;
    }
    return result;
}

std::wstring maskArguments(const std::wstring& commandLine) {
    // The parser describes the calling program for a blank line; that is not the command.
    if (commandLine.find_first_not_of(L" \t\r\n") == std::wstring::npos) return {};
    int count = 0;
    LPWSTR* parsed = ::CommandLineToArgvW(commandLine.c_str(), &count);
    tarvo::unique_hlocal owner(parsed);
    if (parsed == nullptr) return {};
    std::wstring result;
    for (int i = 0; i < count; ++i) {
        const std::wstring argument = parsed[i];
        const std::vector<std::wstring> pieces = split(argument, L"=");
        if (pieces.empty() || !isSecretKey(pieces[0])) {
            result += quoteArgument(argument);
        } else {
            std::wstring key = quoteArgument(pieces[0]);
            for (size_t piece = 1; piece < pieces.size(); ++piece) key += L"=*";
            result += quoteArgument(key);
        }
        result += L' ';
    }
    const size_t first = result.find_first_not_of(L" \t\r\n");
    if (first == std::wstring::npos) return {};
    return result.substr(first, result.find_last_not_of(L" \t\r\n") - first + 1);
}

std::wstring maskCommandLine(const std::wstring& commandLine) {
    return maskSecrets(maskAll(maskArguments(commandLine), commandPairs));
}

#include "engine/masking.h"

#include <algorithm>
#include <cwctype>
#include <optional>
#include <utility>
#include <vector>

#include "engine/action.h"
#include "runtime/logging/logmanager.h"

namespace {

// [start, end) of a secret in the text as written.
using Span = std::pair<size_t, size_t>;
using Spans = std::vector<Span>;

constexpr size_t npos = std::wstring_view::npos;
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
    if (part.empty() || from > text.size()) return npos;
    const wchar_t first = foldAscii(part[0]);
    for (size_t i = from; i + part.size() <= text.size(); ++i)
        if (foldAscii(text[i]) == first && matchesAt(text, i, part)) return i;
    return npos;
}

// The first secret word at or after `from`, and its length.
size_t findSecretWord(std::wstring_view text, size_t from, size_t& length) noexcept {
    size_t found = npos;
    for (std::wstring_view word : secretWords) {
        const size_t at = findNoCase(text, word, from);
        if (at < found) {
            found = at;
            length = word.size();
        }
    }
    return found;
}

bool mayHoldSecret(std::wstring_view text) noexcept {
    size_t length = 0;
    return findSecretWord(text, 0, length) != npos;
}

bool keyChar(wchar_t c) noexcept {
    return std::iswalnum(c) || c == L'_' || c == L'-' || c == L'.' || c == L'$' || c == L'@';
}

bool blank(wchar_t c) noexcept { return c == L' ' || c == L'\t'; }

bool option(wchar_t c) noexcept { return c == L'-' || c == L'/'; }

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
    return npos;
}

// The quote that directly precedes the key, if any: it encloses the key and its value.
std::wstring_view enclosingQuote(std::wstring_view line, size_t keyStart) noexcept {
    if (keyStart > 0 && (line[keyStart - 1] == L'"' || line[keyStart - 1] == L'\''))
        return line.substr(keyStart - 1, 1);
    if (keyStart >= quotEntity.size() && matchesAt(line, keyStart - quotEntity.size(), quotEntity)) return quotEntity;
    return {};
}

// Where the value of a secret key starts (npos when the key has none): after "=" or ":" with blanks around
// them, or after the blanks or the comma that follow an option key. `enclosing` is cleared when it turns out
// to close the key itself ("password": ...).
size_t valueStart(std::wstring_view line, size_t keyStart, size_t keyEnd, std::wstring_view& enclosing) noexcept {
    size_t at = keyEnd;
    if (!enclosing.empty() && matchesAt(line, at, enclosing)) {
        at += enclosing.size();
        enclosing = {};
    }
    const size_t afterKey = at;
    at = skipBlanks(line, at);
    if (at < line.size() && (line[at] == L'=' || line[at] == L':')) return skipBlanks(line, at + 1);
    if (!option(line[keyStart]) || at >= line.size()) return npos;
    if (at == afterKey) return line[at] == L',' ? at + 1 : npos;
    return at;
}

// True when `at` lies between double quotes of a command line (a quote after an odd number of backslashes
// is a character).
bool quotedAt(std::wstring_view line, size_t at) noexcept {
    bool quoted = false;
    size_t backslashes = 0;
    for (size_t i = 0; i < at; ++i) {
        if (line[i] == L'"' && backslashes % 2 == 0) quoted = !quoted;
        backslashes = line[i] == L'\\' ? backslashes + 1 : 0;
    }
    return quoted;
}

// Where the text is, for the end of an unquoted value that may hold blanks.
enum class Context {
    Text,         // runs to the end of the line
    Field,        // a comma field: runs to the field's end
    CommandLine,  // outside quotes it ends with its argument
};

// The value's span in `line`. A quoted value is masked inside its quotes.
Span valueSpan(std::wstring_view line, size_t keyStart, size_t start, std::wstring_view enclosing, Context context) {
    const auto quoted = [&](size_t quote, size_t close) {
        return Span{start + quote, close == npos ? line.size() : close};
    };
    if (matchesAt(line, start, quotEntity))
        return quoted(quotEntity.size(), findNoCase(line, quotEntity, start + quotEntity.size()));
    if (line[start] == L'"' || line[start] == L'\'') return quoted(1, closingQuote(line, start + 1, line[start]));
    size_t word = start;
    while (word < line.size() && !std::iswspace(line[word]) && line[word] != L'"' && !matchesAt(line, word, quotEntity))
        ++word;
    // A value masked already stays as it is, whatever quotes around it a command line lost.
    if (word == start + 1 && line[start] == L'*') return {start, word};
    if (!enclosing.empty()) {
        const size_t close = enclosing == quotEntity ? findNoCase(line, quotEntity, start)
                                                      : closingQuote(line, start, enclosing[0]);
        return {start, close == npos ? line.size() : close};
    }
    if (option(line[keyStart])) return {start, word};
    if (context == Context::Field) return {start, line.size()};
    if (context == Context::CommandLine && !quotedAt(line, keyStart)) return {start, word};
    // A connection string's value may hold blanks: it runs to its ";".
    size_t end = start;
    while (end < line.size() && line[end] != L';' && line[end] != L'"' && !matchesAt(line, end, quotEntity)) ++end;
    return {start, end};
}

// The key-value forms in text[from, to), which holds no line break.
void keyValueSpans(std::wstring_view text, size_t from, size_t to, Context context, Spans& spans) {
    const std::wstring_view line = text.substr(from, to - from);
    size_t search = 0;
    size_t floor = 0;
    for (;;) {
        size_t wordLength = 0;
        const size_t word = findSecretWord(line, search, wordLength);
        if (word == npos) break;
        size_t keyStart = word;
        while (keyStart > floor && keyChar(line[keyStart - 1])) --keyStart;
        if (keyStart > floor && line[keyStart - 1] == L'/') --keyStart;
        size_t keyEnd = word + wordLength;
        while (keyEnd < line.size() && keyChar(line[keyEnd])) ++keyEnd;
        search = keyEnd;
        std::wstring_view enclosing = enclosingQuote(line, keyStart);
        const size_t start = valueStart(line, keyStart, keyEnd, enclosing);
        if (start == npos || start >= line.size()) continue;
        const auto [valueFrom, valueTo] = valueSpan(line, keyStart, start, enclosing, context);
        if (valueTo > valueFrom) spans.emplace_back(from + valueFrom, from + valueTo);
        floor = search = std::max(valueTo, keyEnd);
    }
}

// The key-value forms of text[from, to), line by line.
void lineSpans(std::wstring_view text, size_t from, size_t to, Context context, Spans& spans) {
    while (from < to) {
        const size_t end = std::min(text.find_first_of(L"\r\n", from), to);
        if (end > from) keyValueSpans(text, from, end, context, spans);
        from = end + 1;
    }
}

// The `parameters` of an action element that the factories split into comma fields, and its type.
struct FieldList {
    size_t start;
    size_t end;
    std::wstring_view type;
};

// The attributes of each "<action ...>" element in `text`, read as written (quoted values never hold their
// quote); every element but a Cmd's, whose parameters are one command line, gives its parameters.
std::vector<FieldList> fieldLists(std::wstring_view text) {
    std::vector<FieldList> lists;
    constexpr std::wstring_view tag = L"<action";
    for (size_t at = text.find(tag); at != npos; at = text.find(tag, at)) {
        at += tag.size();
        if (at >= text.size() || !std::iswspace(text[at])) continue;
        std::wstring_view type;
        std::optional<Span> parameters;
        for (;;) {
            while (at < text.size() && std::iswspace(text[at])) ++at;
            const size_t name = at;
            while (at < text.size() && text[at] != L'=' && text[at] != L'>' && !std::iswspace(text[at])) ++at;
            if (at + 1 >= text.size() || text[at] != L'=' || (text[at + 1] != L'"' && text[at + 1] != L'\'')) break;
            const size_t value = at + 2;
            const size_t close = text.find(text[at + 1], value);
            if (close == npos) break;
            const std::wstring_view attribute = text.substr(name, at - name);
            if (attribute == L"type") type = text.substr(value, close - value);
            if (attribute == L"parameters") parameters = Span{value, close};
            at = close + 1;
        }
        if (parameters && type != L"Cmd") lists.push_back({parameters->first, parameters->second, type});
    }
    return lists;
}

// A field that is a key by itself ("--db-password", "DBPassword", "/pwd") and a secret one.
bool namesSecret(std::wstring_view field) noexcept {
    const size_t first = field.find_first_not_of(L" \t");
    if (first == npos) return false;
    field = field.substr(first, field.find_last_not_of(L" \t") - first + 1);
    if (field[0] == L'/') field.remove_prefix(1);
    return !field.empty() && std::all_of(field.begin(), field.end(), keyChar) && isSecretKey(field);
}

void fieldSpans(std::wstring_view text, const FieldList& list, Spans& spans) {
    const std::vector<Span> fields = splitOffsets(text.substr(list.start, list.end - list.start), L",");
    for (size_t i = 0; i < fields.size(); ++i) {
        const size_t start = list.start + fields[i].first;
        const size_t end = list.start + fields[i].second;
        keyValueSpans(text, start, end, Context::Field, spans);
        if (!namesSecret(text.substr(start, end - start))) continue;
        // FixConfFile FILE,DIRECTIVE,OLD,NEW: the old value is as secret as the new one.
        const size_t values = list.type == L"FixConfFile" && i == 1 ? 2 : 1;
        for (size_t k = i + 1; k <= i + values && k < fields.size(); ++k)
            spans.emplace_back(list.start + fields[k].first, list.start + fields[k].second);
    }
}

// The command line's arguments as the system's parser takes them apart: blanks outside quotes separate, a
// quote after an odd number of backslashes is a character. An argument whose key (before its first "=",
// quotes left out) is secret is masked from that "=" on to its end; a quote that closes it stays.
void argumentSpans(std::wstring_view line, Spans& spans) {
    size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && std::iswspace(line[at])) ++at;
        const size_t start = at;
        bool quoted = false;
        size_t equals = npos;
        size_t closedAt = npos;
        size_t backslashes = 0;
        for (; at < line.size() && (quoted || !std::iswspace(line[at])); ++at) {
            const wchar_t c = line[at];
            if (c == L'"' && backslashes % 2 == 0) {
                quoted = !quoted;
                if (!quoted) closedAt = at;
            } else if (c == L'=' && equals == npos) {
                equals = at;
            }
            backslashes = c == L'\\' ? backslashes + 1 : 0;
        }
        if (equals == npos) continue;
        std::wstring key(line.substr(start, equals - start));
        std::erase(key, L'"');
        const size_t end = closedAt + 1 == at ? closedAt : at;
        // A quote that opens the value stays.
        const size_t value = equals + (equals + 1 < line.size() && line[equals + 1] == L'"' ? 2 : 1);
        if (isSecretKey(key) && end > value) spans.emplace_back(value, end);
    }
}

// `text` with each span, or each run of overlapping ones, replaced by one asterisk.
std::wstring splice(const std::wstring& text, Spans spans) {
    if (spans.empty()) return text;
    std::sort(spans.begin(), spans.end());
    std::wstring result;
    size_t copied = 0;
    for (size_t i = 0; i < spans.size();) {
        const size_t start = std::max(spans[i].first, copied);
        size_t end = spans[i].second;
        for (++i; i < spans.size() && spans[i].first <= end; ++i) end = std::max(end, spans[i].second);
        if (end <= start) continue;
        result.append(text, copied, start - copied);
        result += L'*';
        copied = end;
    }
    result.append(text, copied);
    return result;
}

}  // namespace

bool isSecretKey(std::wstring_view key) noexcept { return mayHoldSecret(key); }

std::wstring maskSecrets(const std::wstring& text) {
    if (!mayHoldSecret(text)) return text;
    Spans spans;
    size_t position = 0;
    for (const FieldList& list : fieldLists(text)) {
        lineSpans(text, position, list.start, Context::Text, spans);
        fieldSpans(text, list, spans);
        position = list.end;
    }
    lineSpans(text, position, text.size(), Context::Text, spans);
    return splice(text, std::move(spans));
}

std::wstring maskCommandLine(const std::wstring& commandLine) {
    if (!mayHoldSecret(commandLine)) return commandLine;
    Spans spans;
    lineSpans(commandLine, 0, commandLine.size(), Context::CommandLine, spans);
    argumentSpans(commandLine, spans);
    return splice(commandLine, std::move(spans));
}

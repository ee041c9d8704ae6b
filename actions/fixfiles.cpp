#include "actions/fixfiles.h"

#include <cstdint>
#include <cstring>
#include <cwctype>
#include <future>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "msi/vmsi.h"
#include "runtime/errors/annotate.h"
#include "runtime/errors/format.h"
#include "runtime/filesystem/filehash.h"
#include "runtime/filesystem/fileops.h"
#include "runtime/filesystem/replacefile.h"
#include "runtime/filesystem/vfilename.h"
#include "runtime/logging/logmanager.h"
#include "runtime/threads/cancelation.h"

namespace {

constexpr size_t npos = std::string::npos;

bool isAscii(const char* data, size_t size) {
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, sizeof word);
        if (word & 0x8080808080808080ull) return false;
    }
    for (; i < size; ++i)
        if (static_cast<unsigned char>(data[i]) & 0x80) return false;
    return true;
}

bool isAscii(std::wstring_view text) {
    for (wchar_t c : text)
        if (c > 0x7F) return false;
    return true;
}

// A text file's bytes, seen as lines in the file's own encoding. Lines are found and read without converting
// the file, and changes are spliced into the bytes, so that what a change does not touch stays as it was.
class TextBytes {
public:
    enum class Encoding { CodePage, Utf8, Utf16 };
    struct Line {
        size_t begin = 0;  // its first byte
        size_t end = 0;    // the end of its text, before the CR LF or LF
        size_t next = 0;   // after its line end; equal to end for a last line without one
        bool terminated() const { return next != end; }
    };
    // Bytes replacing [at, at + erase).
    struct Edit {
        size_t at;
        size_t erase;
        std::string insert;
    };

    // `codePage` (GetACP() or GetOEMCP()) is for files that carry no byte-order mark and are not UTF-8.
    TextBytes(std::string bytes, UINT codePage) : bytes_(std::move(bytes)), codePage_(codePage) {
        const std::string_view view(bytes_);
        if (view.starts_with("\xFF\xFE")) {
            encoding_ = Encoding::Utf16;
            start_ = unit_ = 2;
        } else if (view.starts_with("\xFE\xFF")) {
            throw vexception(L"The file is UTF-16 big-endian text, which is not supported", errorFrame(L"", "TextBytes"));
        } else {
            if (view.starts_with("\xEF\xBB\xBF")) start_ = 3;
            ascii_ = isAscii(bytes_.data() + start_, bytes_.size() - start_);
            // Without a mark, UTF-8 shows itself by being well-formed: text in another code page almost never is.
            const bool utf8 = start_ == 3 || codePage_ == CP_UTF8 ||
                              (!ascii_ && ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes_.data(),
                                                                static_cast<int>(bytes_.size()), nullptr, 0) > 0);
            if (utf8) {
                encoding_ = Encoding::Utf8;
                codePage_ = CP_UTF8;
            }
        }
    }

    const std::string& bytes() const { return bytes_; }
    size_t start() const { return start_; }
    Encoding encoding() const { return encoding_; }

    // The line that starts at `position` (start() for the first); false at the end of the text.
    bool lineAt(size_t position, Line& line) const {
        if (position >= bytes_.size()) return false;
        line.begin = position;
        const size_t lf = findLineFeed(position);
        if (lf == npos) {
            line.end = line.next = bytes_.size();
        } else {
            line.next = lf + unit_;
            line.end = lf >= position + unit_ && isCarriageReturn(lf - unit_) ? lf - unit_ : lf;
        }
        return true;
    }

    // Calls `read` with the line's text: its bytes themselves where they are ASCII in a byte encoding (no
    // conversion), else the decoded wide text. Both are spans of characters comparable with wchar_t.
    template <typename Read>
    auto withText(const Line& line, Read&& read) const {
        const char* data = bytes_.data() + line.begin;
        const size_t size = line.end - line.begin;
        if (encoding_ != Encoding::Utf16 && (ascii_ || isAscii(data, size)))
            return read(std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(data), size));
        decode(data, size, buffer_);
        return read(std::span<const wchar_t>(buffer_.data(), buffer_.size()));
    }

    std::wstring text(const Line& line) const {
        return withText(line, [](auto text) { return std::wstring(text.begin(), text.end()); });
    }

    // `text` in the file's encoding. Characters that the file's code page cannot hold are refused rather than
    // written as something else.
    std::string encode(std::wstring_view text) const {
        if (encoding_ == Encoding::Utf16)
            return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
        if (isAscii(text)) return std::string(text.begin(), text.end());
        const bool utf8 = encoding_ == Encoding::Utf8;
        BOOL usedDefault = FALSE;
        DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
        int size = ::WideCharToMultiByte(codePage_, flags, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, utf8 ? nullptr : &usedDefault);
        if (size == 0 && ::GetLastError() == ERROR_INVALID_FLAGS) {  // code pages that know no best fit
            flags = 0;
            size = ::WideCharToMultiByte(codePage_, flags, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, &usedDefault);
        }
        if (size == 0 || usedDefault)
            throw vexception(formatString(L"The new text holds characters that the file's code page (%u) cannot represent",
                                          codePage_),
                             errorFrame(L"", "TextBytes::encode"));
        std::string result(static_cast<size_t>(size), '\0');
        ::WideCharToMultiByte(codePage_, flags, text.data(), static_cast<int>(text.size()), result.data(), size,
                              nullptr, nullptr);
        return result;
    }

    // The file's line end: that of `line` when it has one, else the first of the file, else CR LF.
    std::string lineEnd(const Line* line = nullptr) const {
        if (line && line->terminated()) return bytes_.substr(line->end, line->next - line->end);
        Line first;
        if (lineAt(start_, first) && first.terminated()) return bytes_.substr(first.end, first.next - first.end);
        return encode(L"\r\n");
    }

    // The bytes with `edits` (in order, not overlapping) applied, handed to `emit` piece by piece.
    template <typename Emit>
    void writeEdited(const std::vector<Edit>& edits, Emit&& emit) const {
        const std::string_view bytes(bytes_);
        size_t copied = 0;
        for (const Edit& edit : edits) {
            emit(bytes.substr(copied, edit.at - copied));
            emit(std::string_view(edit.insert));
            copied = edit.at + edit.erase;
        }
        emit(bytes.substr(copied));
    }

    size_t unit() const { return unit_; }

    // Byte encodings only: whether every line feed follows a carriage return.
    bool endsEveryLineWithCrLf() const {
        for (size_t lf = findLineFeed(start_); lf != npos; lf = findLineFeed(lf + 1))
            if (lf == start_ || bytes_[lf - 1] != '\r') return false;
        return true;
    }

    // Byte encodings only: where the line that holds `position` starts, looking back no further than `from`
    // (a line's start).
    size_t lineStartOf(size_t position, size_t from) const {
        while (position > from && bytes_[position - 1] != '\n') --position;
        return position;
    }

private:
    size_t findLineFeed(size_t from) const {
        if (unit_ == 1) {
            const void* found = std::memchr(bytes_.data() + from, '\n', bytes_.size() - from);
            return found ? static_cast<size_t>(static_cast<const char*>(found) - bytes_.data()) : npos;
        }
        for (size_t i = from; i + 1 < bytes_.size(); i += 2)
            if (bytes_[i] == '\n' && bytes_[i + 1] == '\0') return i;
        return npos;
    }
    bool isCarriageReturn(size_t at) const { return bytes_[at] == '\r' && (unit_ == 1 || bytes_[at + 1] == '\0'); }

    void decode(const char* data, size_t size, std::wstring& text) const {
        if (encoding_ == Encoding::Utf16) {
            text.resize(size / 2);
            std::memcpy(text.data(), data, text.size() * sizeof(wchar_t));
            return;
        }
        text.resize(size);
        const int length =
            size == 0 ? 0 : ::MultiByteToWideChar(codePage_, 0, data, static_cast<int>(size), text.data(), static_cast<int>(size));
        text.resize(static_cast<size_t>(length));
    }

    std::string bytes_;
    UINT codePage_;
    Encoding encoding_ = Encoding::CodePage;
    size_t start_ = 0;  // after the byte-order mark
    size_t unit_ = 1;   // bytes per code unit
    bool ascii_ = false;
    mutable std::wstring buffer_;
};

using Line = TextBytes::Line;

template <typename Text>
bool startsWithAt(Text text, size_t at, std::wstring_view pattern) {
    if (text.size() < at || text.size() - at < pattern.size()) return false;
    for (size_t i = 0; i < pattern.size(); ++i)
        if (static_cast<wchar_t>(text[at + i]) != pattern[i]) return false;
    return true;
}

bool isSpace(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r') || (c > 0x7F && std::iswspace(c)); }
wchar_t folded(wchar_t c) {
    if (c <= 0x7F) return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c | 0x20) : c;
    return static_cast<wchar_t>(std::towlower(c));
}

// Whether the line, with every white-space character taken out, starts with `pattern` (ignoring case). With
// `wholeWord`, the match must also end where the line or a word ends: "Timeout 300" does not hold "Timeout30".
template <typename Text>
bool startsWithIgnoringSpace(Text text, std::wstring_view pattern, bool wholeWord = false) {
    size_t matched = 0, i = 0;
    for (; i < text.size() && matched < pattern.size(); ++i) {
        const wchar_t c = static_cast<wchar_t>(text[i]);
        if (isSpace(c)) continue;
        if (folded(c) != folded(pattern[matched])) return false;
        ++matched;
    }
    return matched == pattern.size() && (!wholeWord || i == text.size() || isSpace(static_cast<wchar_t>(text[i])));
}

std::string readWholeFile(const std::wstring& path, DWORD share) {
    return VFile(path, GENERIC_READ, share, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL).readAll();
}

// The fixers' way with failures: a missing file fails the action; any other failure leaves the file as it
// was and the installation going, and the log says why. A Warning reaches the installer log only with debug
// logging on, so the line is written there directly otherwise.
template <typename Body>
void fixExistingFile(vmsi& session, const std::wstring& file, const wchar_t* kind, const char* function, Body&& body) {
    if (!fileExist(file))
        throw vexception(formatString(L"Cannot fix %s-file: %s. File is not found.", std::wstring(kind), file),
                         errorFrame(L"", function));
    try {
        annotate(function, formatString(L"Fix %s-file", std::wstring(kind)), [&] {
            ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
            body();
        });
    } catch (const vexception& e) {
        session.warnInLog(e.toString());
    }
}

// Each piece of a new text to the file and to the digest that the undo record keeps of it.
auto digestedInto(BufferedWriter& out, ContentDigest& digest) {
    return [&out, &digest](std::string_view piece) {
        digest.add(piece);
        out.write(piece);
    };
}

// Puts the edited bytes in place of `file` (nothing to do without edits) and notes both states for the
// rollback.
void rewrite(const std::wstring& file, const TextBytes& text, const std::vector<TextBytes::Edit>& edits,
             FileUndo& undo) {
    if (edits.empty()) return;
    const std::wstring keptAt = undo.beforeReplacing(file, text.bytes());
    ContentDigest written;
    try {
        replaceFileContent(
            file,
            [&](BufferedWriter& out) {
                text.writeEdited(edits, digestedInto(out, written));
            },
            keptAt);
    } catch (...) {
        undo.putBack();
        throw;
    }
    undo.after(true, written.finish());
}

}  // namespace

// ---- FixIniFile ----

FixIniFile::FixIniFile(std::wstring text, std::wstring file, std::wstring section, std::wstring key,
                       std::wstring value, bool enable)
    : Action(std::move(text)),
      file_(std::move(file)),
      section_(std::move(section)),
      key_(std::move(key)),
      value_(std::move(value)),
      enable_(enable) {}

std::unique_ptr<Action> FixIniFile::CreateAction(const std::wstring& parameters, const std::wstring& text) {
    std::vector<std::wstring> fields = factoryFields(parameters, "FixIniFile", 4, 5);
    const bool enable = fields.size() < 5 || fields[4] != L"0";
    return std::make_unique<FixIniFile>(text, std::move(fields[0]), std::move(fields[1]), std::move(fields[2]),
                                        std::move(fields[3]), enable);
}

void FixIniFile::execute(vmsi& session) {
    fixExistingFile(session, file_, L"INI", "FixIniFile::Commit", [&] { fix(); });
}

// A line counts where it starts a line (after blanks and tabs): "port=80" is not found inside
// "sslport=8080". It is a prefix: "extension=php_x" also finds "extension=php_x.dll". The commented form is
// ";" directly followed by the line, and wins over the active form anywhere in the file.
void FixIniFile::fix() {
    TextBytes text(readWholeFile(file_, FILE_SHARE_READ), ::GetOEMCP());
    const std::wstring line = key_ + L"=" + value_;
    const std::wstring commented = L";" + line;
    const std::wstring header = L"[" + section_ + L"]";
    std::optional<std::pair<Line, size_t>> active, inactive;  // the line and its blanks
    std::optional<Line> section;
    Line current;
    for (size_t at = text.start(); !inactive && text.lineAt(at, current); at = current.next) {
        text.withText(current, [&](auto chars) {
            size_t blanks = 0;
            while (blanks < chars.size() && (chars[blanks] == L' ' || chars[blanks] == L'\t')) ++blanks;
            if (startsWithAt(chars, blanks, commented))
                inactive.emplace(current, blanks);
            else if (!active && startsWithAt(chars, blanks, line))
                active.emplace(current, blanks);
            else if (!section && startsWithAt(chars, blanks, header))
                section = current;
            return 0;
        });
    }
    std::vector<TextBytes::Edit> edits;
    if (inactive) {
        if (enable_) edits.push_back({inactive->first.begin + inactive->second * text.unit(), text.unit(), {}});
    } else if (active) {
        if (!enable_) edits.push_back({active->first.begin + active->second * text.unit(), 0, text.encode(L";")});
    } else if (enable_) {
        if (!section)
            throw vexception(L"Cannot fix INI-file: " + file_ + L". Section is not found: " + section_,
                             errorFrame(L"", "FixIniFile::Commit"));
        // Directly after the header's line end; a header on the last line gets one of the file's own first.
        const std::string lineEnd = text.lineEnd(&*section);
        if (section->terminated())
            edits.push_back({section->next, 0, text.encode(line) + lineEnd});
        else
            edits.push_back({section->end, 0, lineEnd + text.encode(line) + lineEnd});
    }
    rewrite(file_, text, edits, undo_);
}

void FixIniFile::rollback(vmsi& session) { undo_.undo(session); }

// ---- FixConfFile ----

FixConfFile::FixConfFile(std::wstring text, std::wstring file, std::wstring key, std::wstring value,
                         std::wstring newValue)
    : Action(std::move(text)),
      file_(std::move(file)),
      key_(std::move(key)),
      value_(std::move(value)),
      newValue_(std::move(newValue)) {}

std::unique_ptr<Action> FixConfFile::CreateAction(const std::wstring& parameters, const std::wstring& text) {
    std::vector<std::wstring> fields = factoryFields(parameters, "FixConfFile", 3, 4);
    return std::make_unique<FixConfFile>(text, std::move(fields[0]), std::move(fields[1]), std::move(fields[2]),
                                         fields.size() > 3 ? std::move(fields[3]) : std::wstring());
}

void FixConfFile::execute(vmsi& session) {
    fixExistingFile(session, file_, L"Conf", "FixConfFile::Commit", [&] { fix(); });
}

// Lines are compared without their white space and without regard to case; a line that starts with the
// directive and the value matches ("Listen 8080" for "Listen 80" too). A line has the new value already only
// when the value ends there as a whole word ("Listen 8080" does not have "80"). Every other line, line ends
// and empty lines included, stays exactly as it was; a replaced line keeps its own line end.
void FixConfFile::fix() {
    TextBytes text(readWholeFile(file_, FILE_SHARE_READ), ::GetACP());
    const std::wstring match = key_ + value_;
    const std::wstring commented = L"#" + match;
    const std::wstring newMatch = key_ + newValue_;
    const bool replace = !newValue_.empty();
    std::vector<TextBytes::Edit> edits;
    bool found = false;
    Line current, last;
    for (size_t at = text.start(); text.lineAt(at, current); at = current.next) {
        last = current;
        text.withText(current, [&](auto chars) {
            if (replace && startsWithIgnoringSpace(chars, newMatch, true)) {
                found = true;
            } else if (!replace && startsWithIgnoringSpace(chars, commented)) {
                // commented out already
            } else if (startsWithIgnoringSpace(chars, match)) {
                edits.push_back(replace ? TextBytes::Edit{current.begin, current.end - current.begin, {}}
                                        : TextBytes::Edit{current.begin, 0, text.encode(L"#")});
            }
            return 0;
        });
    }
    const std::wstring newLine = key_ + L" " + newValue_;
    for (TextBytes::Edit& edit : edits)
        if (replace) edit.insert = text.encode(newLine);
    if (replace && !found && edits.empty()) {
        // At the end, after an empty line; a last line without a line end gets one first.
        const std::string lineEnd = text.lineEnd();
        const bool open = text.bytes().size() > text.start() && !last.terminated();
        edits.push_back({text.bytes().size(), 0, (open ? lineEnd : "") + lineEnd + text.encode(newLine) + lineEnd});
    }
    rewrite(file_, text, edits, undo_);
}

void FixConfFile::rollback(vmsi& session) { undo_.undo(session); }

// ---- FixTemplateFile ----

namespace {

std::wstring replacedAll(std::wstring text, wchar_t from, const wchar_t* to) {
    std::wstring result;
    result.reserve(text.size());
    for (wchar_t c : text) {
        if (c == from)
            result += to;
        else
            result += c;
    }
    return result;
}

// Every occurrence of `placeholder` in `line` replaced, scanning on after each inserted value (so a value is
// never searched for the same placeholder again). False when there is none.
bool replaceAll(std::wstring& line, const std::wstring& placeholder, const std::wstring& value) {
    size_t found = line.find(placeholder);
    if (found == npos) return false;
    std::wstring result;
    size_t from = 0;
    for (; found != npos; found = line.find(placeholder, from)) {
        result.append(line, from, found - from);
        result += value;
        from = found + placeholder.size();
    }
    result.append(line, from);
    line.swap(result);
    return true;
}

// The template's text with the placeholders filled in, line by line (a line of any length), each placeholder
// in turn in the map's order, handed to `emit` piece by piece. Line ends come out as CR LF; lines without a
// placeholder keep their bytes.
template <typename Emit>
void fillIn(const TextBytes& text, const FixTemplateFile::Placeholders& placeholders, Emit&& emit) {
    const std::string_view bytes(text.bytes());
    const std::string lineEnd = text.encode(L"\r\n");
    emit(bytes.substr(0, text.start()));
    const auto emitLine = [&](const Line& line, bool mayHoldPlaceholder) {
        bool changed = false;
        if (mayHoldPlaceholder) {
            std::wstring wide = text.text(line);
            for (const auto& [placeholder, value] : placeholders) changed |= replaceAll(wide, placeholder, value);
            if (changed) emit(std::string_view(text.encode(wide)));
        }
        if (!changed) emit(bytes.substr(line.begin, line.end - line.begin));
        if (line.terminated()) emit(std::string_view(lineEnd));
    };
    // Where the encoding is a byte encoding and every placeholder ASCII, a line can only hold a placeholder
    // where the placeholder's bytes are: the lines between are copied without looking at their characters,
    // and in one piece where every line of the file ends in CR LF already.
    std::vector<std::pair<std::string, size_t>> probes;  // bytes of a placeholder, its next occurrence
    bool probing = text.encoding() != TextBytes::Encoding::Utf16;
    for (const auto& [placeholder, value] : placeholders) {
        if (!isAscii(placeholder)) probing = false;
        std::string probe(placeholder.begin(), placeholder.end());
        const size_t first = bytes.find(probe, text.start());
        probes.emplace_back(std::move(probe), first);
    }
    Line line;
    size_t at = text.start();
    if (!probing) {
        for (; text.lineAt(at, line); at = line.next) emitLine(line, true);
        return;
    }
    const bool copyWhole = text.endsEveryLineWithCrLf();
    const auto copyUpTo = [&](size_t end) {
        if (copyWhole) {
            emit(bytes.substr(at, end - at));
            at = end;
        }
        for (; at < end && text.lineAt(at, line); at = line.next) emitLine(line, false);
    };
    for (;;) {
        size_t next = npos;
        for (auto& [probe, occurrence] : probes) {
            if (occurrence != npos && occurrence < at) occurrence = bytes.find(probe, at);
            next = std::min(next, occurrence);
        }
        if (next == npos) break;
        copyUpTo(text.lineStartOf(next, at));
        text.lineAt(at, line);
        emitLine(line, true);
        at = line.next;
    }
    copyUpTo(bytes.size());
}

}  // namespace

FixTemplateFile::FixTemplateFile(std::wstring text, std::wstring source, std::wstring target, Placeholders placeholders)
    : Action(std::move(text)),
      source_(std::move(source)),
      target_(std::move(target)),
      placeholders_(std::move(placeholders)) {}

std::unique_ptr<Action> FixTemplateFile::CreateAction(const std::wstring& parameters, const std::wstring& text) {
    std::vector<std::wstring> fields = factoryFields(parameters, "FixTemplateFile", 1, npos);
    const std::vector<std::wstring> files = split(fields[0], L">");
    if (files.empty())  // nothing but ">"
        throw vexception(L"Invalid arguments on call FixTemplateFile", errorFrame(L"", "FixTemplateFile::CreateAction"));
    Placeholders placeholders;
    for (size_t i = 1; i < fields.size(); ++i) {
        const std::wstring& field = fields[i];
        const size_t equals = field.find(L'=');
        // The placeholder as the definition writes it: bare, or in "Escape(...)" or "UNIX(...)".
        const std::wstring asWritten = equals == npos ? field : field.substr(0, equals);
        std::wstring value = equals == npos ? field : field.substr(equals + 1);
        std::wstring placeholder = asWritten;
        if (asWritten.size() >= 8 && asWritten.starts_with(L"Escape(") && asWritten.ends_with(L")")) {
            placeholder = asWritten.substr(7, asWritten.size() - 8);
            value = replacedAll(std::move(value), L'\\', L"\\\\");
        } else if (asWritten.size() >= 6 && asWritten.starts_with(L"UNIX(") && asWritten.ends_with(L")")) {
            placeholder = asWritten.substr(5, asWritten.size() - 6);
            value = replacedAll(std::move(value), L'\\', L"/");
        }
        // Only the placeholder part is named: a value may be a password.
        if (placeholder.empty() || asWritten == L"Escape()" || asWritten == L"UNIX()")
            throw vexception(formatString(L"Invalid arguments on call FixTemplateFile: definition %d ('%s=...') names no "
                                          L"placeholder",
                                          static_cast<int>(i), asWritten),
                             errorFrame(L"", "FixTemplateFile::CreateAction"));
        placeholders[std::move(placeholder)] = std::move(value);
    }
    return std::make_unique<FixTemplateFile>(text, files[0], files.size() > 1 ? files[1] : files[0],
                                             std::move(placeholders));
}

void FixTemplateFile::execute(vmsi&) {
    const std::wstring newFile = target_ + L".new";
    const std::wstring backup = target_ + L".bak";
    TextBytes text(annotate("FixTemplateFile::Commit", L"Unable open file " + source_ + L" for reading",
                            [&] { return readWholeFile(source_, FILE_SHARE_READ | FILE_SHARE_WRITE); }),
                   ::GetACP());
    // The previous target becomes the ".bak" in the same step that puts the new text in its place: the
    // rollback finds the previous bytes there, and the older ".bak" in the undo journal. Without a previous
    // target there is nothing to back up, and an older ".bak" stays.
    const bool replacing = fileExist(target_);
    const bool inPlace = replacing && VFileName::comparePaths(source_, target_) == VFileName::Equal;
    std::wstring previousDigest = inPlace ? digestOf(text.bytes()) : std::wstring();
    if (!replacing) targetUndo_.before(target_);
    // The previous target's digest is taken while the new text is written: two cores, and another file. The
    // new text goes to the file as it is made, never whole in memory.
    std::future<void> digesting;
    if (replacing && !inPlace)
        digesting = std::async(std::launch::async, [&] { previousDigest = digestOfFile(target_); });
    ContentDigest written;
    try {
        annotate("FixTemplateFile::Commit", L"Unable open file " + newFile + L" for writing", [&] {
            VFile file(newFile, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
            BufferedWriter out(file);
            fillIn(text, placeholders_, digestedInto(out, written));
            out.flush();
            file.flush();
        });
        if (digesting.valid()) digesting.get();
        if (replacing) {
            // Noted before anything changes.
            backupUndo_.beforeTakingAway(backup);
            targetUndo_.beforeKeptAt(target_, backup, previousDigest);
            removeFile(backup, false, false, 0, 0);  // still there when the journal could only copy it
            replaceFile(newFile, target_, backup);
        } else {
            replaceFile(newFile, target_);
        }
    } catch (...) {
        if (digesting.valid()) digesting.wait();
        (void)captureFailure("FixTemplateFile::Commit", L"", [&] { removeFile(newFile, false, false, 0, 0); });
        targetUndo_.putBack();
        backupUndo_.putBack();
        throw;
    }
    targetUndo_.after(true, written.finish());
    if (replacing) {
        backupUndo_.holdsPreviousOf(target_);
        backupUndo_.after(true, targetUndo_.previousDigest());
    }
}

void FixTemplateFile::rollback(vmsi& session) {
    // The target first: its previous bytes are in the ".bak", which the second undo replaces.
    targetUndo_.undo(session);
    backupUndo_.undo(session);
}

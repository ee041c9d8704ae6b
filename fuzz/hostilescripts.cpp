#include "fuzz/hostilescripts.h"

#include <windows.h>

#include <filesystem>
#include <random>
#include <vector>

#include "tests/msisession.h"
#include "tests/testutil.h"
#include "tests/watchdog.h"

namespace hostilescripts {

namespace {

namespace fs = std::filesystem;
using Random = std::mt19937;

std::string narrow(const std::wstring& text) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr, nullptr);
    return result;
}

// What a file of the test's folder holds, which an external entity of a script would read into a message.
std::wstring externalContent() { return L"ExternalFileContent" + std::to_wstring(::GetCurrentProcessId()); }

// A stretch of script text. Locked pieces (paths, planted passwords) are never cut or changed inside, so that
// whatever a mutated script writes is still one of its own effects, inside the test's key and folder.
struct Piece {
    std::wstring text;
    bool locked = false;
};
using Pieces = std::vector<Piece>;

struct Effect {
    bool file = false;
    std::wstring where;  // registry subkey (32-bit view) or file path
    std::wstring name;   // registry value
};

enum class Expect { Runs, Rejected, RolledBack, Unknown };

struct Script {
    explicit Script(std::string kind = {}) : shape(std::move(kind)) {}
    std::string shape;
    Pieces pieces;
    Expect expect = Expect::Runs;
    std::vector<std::wstring> secrets;  // none may reach a message
    std::vector<Effect> effects;        // of the actions that run when the script is accepted
    std::vector<Effect> never;          // of actions that must never run (nested, ignored elements)

    std::wstring text() const {
        std::wstring joined;
        for (const Piece& piece : pieces) joined += piece.text;
        return joined;
    }
};

const wchar_t* const junk[] = {
    L"<", L">", L"\"", L"'", L"&", L"&amp;", L"&#0;", L"&#x1;", L"&bogus;", L"]]>", L"<!--", L"-->", L"[", L"]",
    L"[\\[]", L"{", L"}", L"\\", L"\uFFFF", L"\xD800", L"\u00E9\u4E2D", L"\t", L"\r\n", L" ", L"=", L"/", L"<?", L"?>",
    L"<![CDATA[", L",", L"%s%n%x%%", L"[1]", L"[ProductName]", L"{[x]}", L"-password=", L"</actionslist>", L"<action/>"};
const wchar_t* const textJunk[] = {L"[ProductName]", L"[\\[]x[\\]]", L"[%PATH]", L"{[x]}", L"[[", L"]]", L"[1]",
                                   L"[!x]", L"%s%d%n%%", L"&lt;tag&gt;", L"&amp;amp;", L"\u00E9\u4E2D", L"\t"};
const wchar_t* const unknownTypes[] = {L"writeregistrydword", L"WriteRegistryDWORD ", L" FormBINDKey", L"TestFault",
                                       L"Cmdx", L"", L"Action", L"GroupActions", L"FormBINDKey\t", L"%s%n"};

class Generator {
public:
    Generator(std::uint32_t seed, std::wstring key, std::wstring folder)
        : random_(seed), key_(std::move(key)), folder_(std::move(folder)) {}

    Script next(std::uint32_t iteration) {
        iteration_ = iteration;
        actions_ = 0;
        switch (below(11)) {
            case 0:
            case 1: return wellFormed("well-formed", 0);
            case 2: return wellFormed("brackets and formats", 5);
            case 3: return huge();
            case 4: return nested();
            case 5: return unknownType();
            case 6: return wrongFields();
            case 7: return broken();
            case 8: return doctype();
            case 9: return failingLate();
            default: return mutated();
        }
    }

private:
    std::uint32_t below(std::uint32_t n) { return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(random_); }
    template <typename T, size_t N>
    const T& any(const T (&items)[N]) { return items[below(N)]; }

    // A password nobody else writes, as an option (quoted only where the value may hold quotes).
    std::wstring plant(Script& script, bool quoted) {
        const std::wstring secret = L"Pw" + std::to_wstring(random_()) + L"x" + std::to_wstring(iteration_);
        script.secrets.push_back(secret);
        return quoted && below(2) ? L"-password=\"" + secret + L"\"" : L"-password=" + secret;
    }
    Piece locked(const std::wstring& value) { return {xmlAttr(value), true}; }

    // Free text with a planted password and up to `extras` bracket groups and format strings.
    Pieces text(Script& script, unsigned extras) {
        Pieces pieces{{L"Action " + std::to_wstring(actions_) + L" ", false}};
        for (unsigned i = below(extras + 1); i > 0; --i) pieces.push_back({any(textJunk), false});
        pieces.push_back(locked(plant(script, true)));
        pieces.push_back({L" done", false});
        return pieces;
    }
    Pieces critical(Script& script) {
        static const wchar_t* const values[] = {L"1", L"0", L"", L"2", L" 0"};
        if (below(4) == 0) return {{xmlAttr(any(values)) + L" ", false}, locked(plant(script, true))};
        return {{any(values), false}};
    }

    static void attribute(Pieces& out, const wchar_t* name, Pieces value) {
        out.push_back({std::wstring(L" ") + name + L"=\"", false});
        out.insert(out.end(), value.begin(), value.end());
        out.push_back({L"\"", false});
    }
    void element(Pieces& out, const wchar_t* tag, Pieces type, Pieces parameters, Pieces text, Pieces critical) {
        ++actions_;
        out.push_back({std::wstring(L"<") + tag, false});
        attribute(out, L"type", std::move(type));
        attribute(out, L"parameters", std::move(parameters));
        attribute(out, L"text", std::move(text));
        if (below(5) != 0) attribute(out, L"critical", std::move(critical));
        out.push_back({L"/>", false});
    }

    // The parameters of a registry or rndc action that succeeds, with a planted password, and its effect.
    Pieces goodParameters(Script& script, bool registry, Effect& effect) {
        const std::wstring id = std::to_wstring(iteration_) + L"_" + std::to_wstring(actions_);
        if (!registry) {
            effect = {true, folder_ + L"\\out\\rndc" + id + L".conf " + plant(script, false), L""};
            return {locked(effect.where + L"," + folder_ + L"\\rndc.key")};
        }
        effect = {false, key_, L"v" + id};
        std::wstring number = std::to_wstring(below(100000));
        switch (below(3)) {
            case 0: effect.where += L"\\" + plant(script, true); break;
            case 1: effect.name += L" " + plant(script, true); break;
            default: number += L" " + plant(script, true);
        }
        return {locked(L"LM," + effect.where + L"," + effect.name + L"," + number)};
    }
    void goodAction(Script& script, Pieces& out, unsigned extras) {
        Effect effect;
        const bool registry = below(3) != 0;
        Pieces parameters = goodParameters(script, registry, effect);
        element(out, L"action", {{registry ? L"WriteRegistryDWORD" : L"FormBINDKey", false}}, std::move(parameters),
                text(script, extras), critical(script));
        script.effects.push_back(effect);
    }
    // Something the reader must pass over: a grouping element, an element of another name, a comment, a
    // processing instruction, character data.
    void ignored(Script& script, Pieces& out) {
        Effect effect;
        const std::uint32_t kind = below(5);
        if (kind < 2) {
            Pieces parameters = goodParameters(script, true, effect);
            element(out, kind == 0 ? L"action" : L"Action", {{kind == 0 ? L"GroupAction" : L"WriteRegistryDWORD", false}},
                    std::move(parameters), text(script, 0), critical(script));
            script.never.push_back(effect);
            return;
        }
        static const wchar_t* const others[] = {L"<!-- <action type=\"Cmd\"/> ", L"<?tarvo ", L"<![CDATA[<action "};
        static const wchar_t* const ends[] = {L" -->", L"?>", L"/>]]>"};
        out.push_back({others[kind - 2], false});
        out.push_back(locked(plant(script, false)));
        out.push_back({ends[kind - 2], false});
    }
    Pieces root(Script& script, Pieces body, bool hugeLevel = false) {
        static const wchar_t* const levels[] = {L"5", L"", L"abc", L"-1", L"99999999999"};
        const bool otherName = below(8) == 0;  // the reader does not look at the root's name
        Pieces out{{otherName ? L"<list uilevel=\"" : L"<actionslist uilevel=\"", false}};
        if (hugeLevel) out.push_back({std::wstring(70000, L'7'), false});
        out.push_back({any(levels), false});
        if (below(2)) {
            out.push_back({L" ", false});
            out.push_back(locked(plant(script, true)));
        }
        out.push_back({L"\">", false});
        out.insert(out.end(), body.begin(), body.end());
        out.push_back({otherName ? L"</list>" : L"</actionslist>", false});
        return out;
    }
    // The root's children, one entry each: actions that succeed, things to pass over, whitespace.
    std::vector<Pieces> goodChildren(Script& script, unsigned extras) {
        std::vector<Pieces> children;
        for (unsigned i = below(6); i > 0; --i) {
            if (below(4) == 0) ignored(script, children.emplace_back());
            if (below(3) == 0) children.push_back({{below(2) ? L"\r\n\t" : L"  ", false}});
            goodAction(script, children.emplace_back(), extras);
        }
        return children;
    }
    static Pieces flatten(const std::vector<Pieces>& children) {
        Pieces flat;
        for (const Pieces& child : children) flat.insert(flat.end(), child.begin(), child.end());
        return flat;
    }
    Script wellFormed(const char* shape, unsigned extras) {
        Script script{shape};
        script.pieces = root(script, flatten(goodChildren(script, extras)));
        return script;
    }
    Script huge() {
        Script script{"huge attributes"};
        Pieces body;
        const size_t size = size_t{1000} << below(8);  // up to 128,000 characters
        Effect effect;
        Pieces parameters = goodParameters(script, true, effect);
        Pieces text{{std::wstring(size / 2, L'a'), false}, locked(plant(script, true)), {std::wstring(size / 2, L'b'), false}};
        for (unsigned i = below(20); i > 0; --i) text.insert(text.begin() + 1, {any(textJunk), false});
        element(body, L"action", {{L"WriteRegistryDWORD", false}}, std::move(parameters), std::move(text), {{L"1", false}});
        script.effects.push_back(effect);
        script.pieces = root(script, std::move(body), below(4) == 0);
        return script;
    }
    Script nested() {
        Script script = wellFormed("deep nesting", 1);
        script.expect = Expect::Unknown;  // past the parser's depth limit it is refused as a whole
        Pieces inner;
        const std::uint32_t depth = 1 + below(400);
        for (std::uint32_t i = 0; i < depth; ++i) inner.push_back({L"<n>", false});
        Effect effect;
        Pieces parameters = goodParameters(script, true, effect);
        element(inner, L"action", {{L"WriteRegistryDWORD", false}}, std::move(parameters), text(script, 0), {{L"1", false}});
        script.never.push_back(effect);
        for (std::uint32_t i = 0; i < depth; ++i) inner.push_back({L"</n>", false});
        script.pieces.insert(script.pieces.end() - 1, inner.begin(), inner.end());
        return script;
    }
    // Actions that succeed, and among them one that the reader must refuse before anything runs.
    void withRefused(Script& script, Pieces type, Pieces parameters) {
        script.expect = Expect::Rejected;
        std::vector<Pieces> children = goodChildren(script, 1);
        Pieces refused;
        element(refused, L"action", std::move(type), std::move(parameters), text(script, 1), critical(script));
        children.insert(children.begin() + below(static_cast<std::uint32_t>(children.size() + 1)), std::move(refused));
        script.pieces = root(script, flatten(children));
    }
    Script unknownType() {
        Script script{"unknown type"};
        Pieces type{{xmlAttr(any(unknownTypes)), false}};
        if (below(2)) {
            type.push_back({L" ", false});
            type.push_back(locked(plant(script, true)));
        }
        Effect effect;
        Pieces parameters = goodParameters(script, true, effect);
        script.never.push_back(effect);
        withRefused(script, std::move(type), std::move(parameters));
        return script;
    }
    Script wrongFields() {
        Script script{"wrong field count"};
        std::wstring type = L"WriteRegistryDWORD", parameters;
        switch (below(3)) {
            case 0: {  // fields missing or left over
                static const unsigned counts[] = {1, 2, 3, 5, 6, 7};
                for (unsigned i = 0, count = any(counts); i < count; ++i) parameters += i == 0 ? L"LM" : L",f";
                break;
            }
            case 1: {  // a root that is neither CR nor LM
                static const wchar_t* const roots[] = {L"lm", L"HKLM", L"XX", L"L M"};
                parameters = std::wstring(any(roots)) + L"," + key_ + L",v,1";
                break;
            }
            default:
                type = L"FormBINDKey";
                parameters = below(2) ? folder_ + L"\\out\\one.conf" : folder_ + L"\\a," + folder_ + L"\\b," + folder_ + L"\\c";
        }
        parameters += L" " + plant(script, true);
        withRefused(script, {{type, false}}, {locked(parameters)});
        return script;
    }
    Script broken() {
        Script script = wellFormed("broken XML", 2);
        script.expect = Expect::Rejected;
        std::wstring text = script.text();
        const size_t level = text.find(L"uilevel=\"") + 9;
        switch (below(11)) {
            case 0: text.resize(below(static_cast<std::uint32_t>(text.size()))); break;  // cut short
            case 1: text.insert(text.size() / 2, 1, L'\0'); break;  // the installer keeps what comes before it
            case 2: text += text; break;                            // two roots
            case 3: text.resize(text.rfind(L"</")); break;          // no end tag
            case 4: text.insert(text.rfind(L"</") + 2, L"x"); break;  // a mismatched end tag
            case 5: text = below(2) ? L"" : L"   "; break;
            case 6: text.insert(level, L"&bogus;"); break;
            case 7: text.insert(level, L"&#0;"); break;
            case 8: text.insert(level, L"<"); break;
            default: text.insert(level, L"a\"b"); break;
        }
        script.pieces = {{text, false}};
        return script;
    }
    // Actions that succeed, then a critical one that fails (its key file is missing): the stage fails after
    // rolling back what the others did.
    Script failingLate() {
        Script script = wellFormed("late critical failure", 1);
        script.expect = Expect::RolledBack;
        Pieces failing;
        const std::wstring parameters = folder_ + L"\\out\\late.conf " + plant(script, false) + L"," + folder_ + L"\\missing.key";
        element(failing, L"action", {{L"FormBINDKey", false}}, {locked(parameters)}, text(script, 1), {{L"1", false}});
        script.pieces.insert(script.pieces.end() - 1, failing.begin(), failing.end());
        return script;
    }
    // Entities that expand a planted password 125 times, and one that would read a file of the test's folder.
    Script doctype() {
        Script script = wellFormed("document type", 1);
        script.expect = Expect::Unknown;  // refused where document types are prohibited
        script.secrets.push_back(externalContent());
        std::wstring declaration = L"<!DOCTYPE actionslist [<!ENTITY e0 \"" + plant(script, false) + L" \">";
        for (int level = 1; level <= 3; ++level) {
            declaration += L"<!ENTITY e" + std::to_wstring(level) + L" \"";
            for (int i = 0; i < 5; ++i) declaration += L"&e" + std::to_wstring(level - 1) + L";";
            declaration += L"\">";
        }
        declaration += L"<!ENTITY ext SYSTEM \"" + folder_ + L"\\external.txt\">]>";
        Pieces body;
        Effect effect;
        Pieces parameters = goodParameters(script, true, effect);
        element(body, L"action", {{L"WriteRegistryDWORD", false}}, std::move(parameters), {{L"&e3; &ext;", false}},
                {{L"0", false}});
        script.effects.push_back(effect);
        script.pieces.insert(script.pieces.end() - 1, body.begin(), body.end());
        script.pieces.insert(script.pieces.begin(), {declaration, false});
        return script;
    }
    Script mutated() {
        Script script;
        switch (below(4)) {
            case 0: script = wellFormed("", 3); break;
            case 1: script = nested(); break;
            case 2: script = unknownType(); break;
            default: script = wrongFields();
        }
        script.shape = "mutated";
        script.expect = Expect::Unknown;
        for (unsigned edits = 1 + below(6); edits > 0; --edits) {
            Pieces& pieces = script.pieces;
            const size_t at = below(static_cast<std::uint32_t>(pieces.size()));
            Piece& piece = pieces[at];
            switch (below(5)) {
                case 0:
                    if (!piece.locked) piece.text.insert(below(static_cast<std::uint32_t>(piece.text.size() + 1)), any(junk));
                    break;
                case 1:
                    if (!piece.locked && !piece.text.empty()) {
                        const size_t from = below(static_cast<std::uint32_t>(piece.text.size()));
                        piece.text.erase(from, 1 + below(static_cast<std::uint32_t>(piece.text.size() - from)));
                    }
                    break;
                case 2: pieces.insert(pieces.begin() + static_cast<std::ptrdiff_t>(at), Piece(piece)); break;
                case 3: pieces.erase(pieces.begin() + static_cast<std::ptrdiff_t>(at)); break;
                default:
                    if (at + 1 < pieces.size()) std::swap(pieces[at], pieces[at + 1]);
            }
            if (pieces.empty()) break;
        }
        return script;
    }

    Random random_;
    std::wstring key_;
    std::wstring folder_;
    std::uint32_t iteration_ = 0;
    unsigned actions_ = 0;
};

bool present(const Effect& effect) {
    if (effect.file) return ::GetFileAttributesW(effect.where.c_str()) != INVALID_FILE_ATTRIBUTES;
    return ::RegGetValueW(HKEY_LOCAL_MACHINE, effect.where.c_str(), effect.name.c_str(), RRF_RT_ANY | RRF_SUBKEY_WOW6432KEY,
                          nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

// What is wrong with one call, or nothing.
std::string judge(const Script& script, UINT result, const std::vector<InstallerMessage>& messages, bool anyEffect) {
    if (result != 0 && result != 1603) return "returned " + std::to_string(result);
    bool started = false;
    size_t errors = 0;
    for (const InstallerMessage& message : messages) {
        for (const std::wstring& secret : script.secrets)
            if (contains(message.text, secret)) return "a planted password in a message: " + narrow(message.text.substr(0, 2000));
        if (message.kind() == kInfo && message.text.starts_with(L"Tarvo custom action start")) started = true;
        if (message.kind() != kError) continue;
        ++errors;
        if (!contains(message.text, L"\n   at ")) return "an error message without frames: " + narrow(message.text);
    }
    if (result == 1603 && errors == 0) return "1603 without an error message";
    if (result == 0 && errors != 0) return "0 with an error message";
    if (!started && anyEffect) return "an action had an effect without a start line";
    for (const Effect& effect : script.never)
        if (present(effect)) return "an action that is no child of the root, or a grouping element, ran";
    if (script.expect == Expect::Rejected && (result != 1603 || started)) return "a script that must be refused ran";
    if (script.expect == Expect::RolledBack) {
        if (result != 1603) return "a failing critical action did not fail the stage";
        for (const Effect& effect : script.effects)
            if (present(effect)) return "an effect outlived the rollback: " + narrow(effect.where + L" " + effect.name);
    }
    if (script.expect == Expect::Runs) {
        if (result != 0) return "a well-formed script failed";
        for (const Effect& effect : script.effects)
            if (!present(effect)) return "an action of a well-formed script had no effect: " + narrow(effect.where + L" " + effect.name);
    }
    return {};
}

}  // namespace

Report run(std::uint32_t seed, std::uint32_t count) {
    Report report;
    ScopedTestKey key(L"hostile");
    const std::wstring folder = tempDirectory();
    const std::wstring out = folder + L"\\out";
    writeBytes(folder + L"\\rndc.key", "key \"rndc-key\" {\n\talgorithm hmac-sha256;\n\tsecret \"c2VjcmV0\";\n};\n");
    writeBytes(folder + L"\\external.txt", narrow(externalContent()));
    Generator generator(seed, key.subkey(), folder);
    MsiSession package;
    Watchdog watchdog("hostile scripts", seed);
    for (std::uint32_t i = 0; i < count && report.failure.empty(); ++i) {
        watchdog.progress(i);
        const Script script = generator.next(i);
        std::error_code ignored;
        fs::create_directory(out, ignored);
        package.clearMessages();
        package.setProperty(L"Action_OnStagePostinstall", script.text());
        const UINT result = package.call("OnStagePostinstall");
        HKEY written = nullptr;
        const bool keyMade = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.subkey().c_str(), 0, KEY_READ | KEY_WOW64_32KEY,
                                             &written) == ERROR_SUCCESS;
        if (written) ::RegCloseKey(written);
        const bool anyEffect = keyMade || !fs::is_empty(out, ignored);
        const std::string verdict = judge(script, result, package.messages(), anyEffect);
        ++report.outcomes[script.shape + ": " + std::to_string(result)];
        if (!verdict.empty())
            report.failure = "seed " + std::to_string(seed) + " iteration " + std::to_string(i) + " (" + script.shape +
                             "): " + verdict + "\nscript: " + narrow(script.text().substr(0, 3000));
        if (anyEffect) {
            key.remove();
            fs::remove_all(out, ignored);
        }
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return report;
}

}  // namespace hostilescripts

#include "tools/authoring/lint.h"

#include <msidefs.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "actions/bindregistry.h"
#include "engine/action.h"
#include "engine/generation.h"
#include "engine/masking.h"
#include "engine/password.h"
#include "engine/scriptreader.h"
#include "engine/stages.h"
#include "msi/vxml.h"
#include "runtime/errors/annotate.h"
#include "runtime/errors/format.h"
#include "tools/authoring/package.h"

namespace {

constexpr const wchar_t* actionTable = L"TarvoCustomActions";
constexpr const wchar_t* sequenceTable = L"InstallExecuteSequence";
constexpr const wchar_t* prepareExport = L"PrepareTarvoCustomActions";
constexpr const wchar_t* passwordExport = L"GetPassword";

struct Row {
    std::wstring key;  // the primary key's columns joined with "/"
    std::wstring condition;
    std::wstring type;
    std::wstring parameters;
    std::wstring progressText;
    int order = 0;
    bool criticalNull = false;
    std::wstring stage;
};

// Bracketed text is resolved by the installer when the scripts are made ([PROPERTY], [%VAR], [#file], [\,] ...)
// and may then bring commas of its own.
bool hasReferences(const std::wstring& text) {
    const size_t open = text.find(L'[');
    return open != std::wstring::npos && text.find(L']', open) != std::wstring::npos;
}

bool isPropertyName(const std::wstring& name) {
    const auto ascii = [](wchar_t c, bool digits) {
        return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || c == L'_' ||
               (digits && ((c >= L'0' && c <= L'9') || c == L'.'));
    };
    return !name.empty() && ascii(name[0], false) &&
           std::all_of(name.begin(), name.end(), [&](wchar_t c) { return ascii(c, true); });
}

// A field that is a property reference and nothing else may stand for several fields, or for none, once the
// installer has resolved it; a reference inside a path or a word ([INSTALLDIR]etc) does not.
bool fieldFromReference(const std::wstring& parameters) {
    const std::vector<std::wstring> fields = split(parameters, L",");
    return std::any_of(fields.begin(), fields.end(), [](const std::wstring& field) {
        return field.size() > 2 && field.front() == L'[' && field.back() == L']' &&
               isPropertyName(field.substr(1, field.size() - 2));
    });
}

// How often each property is referenced as [NAME] in `text`.
std::map<std::wstring, int> propertyReferences(const std::wstring& text) {
    std::map<std::wstring, int> counts;
    for (size_t open = text.find(L'['); open != std::wstring::npos; open = text.find(L'[', open + 1)) {
        const size_t close = text.find_first_of(L"[]", open + 1);
        if (close == std::wstring::npos || text[close] != L']') continue;
        std::wstring name = text.substr(open + 1, close - open - 1);
        if (isPropertyName(name)) ++counts[std::move(name)];
    }
    return counts;
}

// The properties referenced inside an argument that the log masks: the row is written as its script would
// hold it, masked as the stage runner masks it, and the references that disappeared are the masked ones.
std::vector<std::wstring> maskedReferences(const Row& row) {
    const XmlDocument document = vxmlLoadXML(L"<actionslist/>");
    appendScriptAction(document.get(), documentElement(document.get()).get(), row.type, row.parameters,
                       row.progressText, 1);
    const std::wstring script = xml(document.get());
    const std::map<std::wstring, int> masked = propertyReferences(maskSecrets(script));
    std::vector<std::wstring> names;
    for (const auto& [name, count] : propertyReferences(script)) {
        const auto left = masked.find(name);
        if ((left == masked.end() ? 0 : left->second) < count) names.push_back(name);
    }
    return names;
}

enum class Kind { immediate, deferred, commit, rollback };

Kind kindOf(int type) {
    if ((type & msidbCustomActionTypeInScript) == 0) return Kind::immediate;
    if (type & msidbCustomActionTypeRollback) return Kind::rollback;
    return (type & msidbCustomActionTypeCommit) ? Kind::commit : Kind::deferred;
}

Kind kindOf(StageKind kind) {
    return kind == StageKind::immediate ? Kind::immediate
                                        : kind == StageKind::commit ? Kind::commit : Kind::deferred;
}

std::wstring describe(Kind kind) {
    switch (kind) {
        case Kind::immediate: return L"an immediate action";
        case Kind::deferred: return L"a deferred action";
        case Kind::commit: return L"a commit action";
        case Kind::rollback: return L"a rollback action";
    }
    return {};
}

// An export the table needs scheduled, and why.
struct Need {
    std::wstring entryPoint;
    Kind kind;
    std::wstring reason;
    const Stage* stage;  // null for the two actions that are no stage
};

class Linter {
public:
    explicit Linter(const Package& package) : package_(package), session_(package.install()) {}

    std::vector<Finding> run() {
        if (!package_.hasTable(actionTable)) throw UnreadablePackage(L"the package has no TarvoCustomActions table");
        const std::vector<Row> rows = readRows();
        std::map<std::pair<std::wstring, int>, std::wstring> orders;  // (stage, Order) -> the first row's key
        for (const Row& row : rows) {
            checkFactory(row);
            checkCondition(row);
            if (!stage::find(row.stage)) add(actionTable, row.key, true, L"stage", unknownStage(row.stage));
            const auto [first, fresh] = orders.emplace(std::make_pair(row.stage, row.order), row.key);
            if (!fresh)
                add(actionTable, row.key, false, L"order-duplicate",
                    formatString(L"Order %d of stage '%s' is also the Order of %s: which of the two runs first "
                                 L"is not defined",
                                 row.order, row.stage, first->second));
            if (row.criticalNull)
                add(actionTable, row.key, true, L"critical-null",
                    L"Critical is null: the script generation fails on this row (write 1 or 0)");
        }
        for (const Stage& s : stage::all)
            if (std::any_of(rows.begin(), rows.end(), [&](const Row& row) { return row.stage == s.name; }))
                usedStages_.push_back(&s);
        passwordProperty_ = session_.GetProperty(passwordTargetProperty);
        checkSequence(!rows.empty());
        checkPartners();
        checkHidden(rows);
        return std::move(findings_);
    }

private:
    void add(const wchar_t* table, const std::wstring& key, bool error, const wchar_t* code, std::wstring message) {
        findings_.push_back(Finding{table, key, error, code, std::move(message)});
    }

    std::vector<Row> readRows() {
        const std::vector<std::wstring> keys = package_.primaryKeys(actionTable);
        std::wstring columns;
        for (const std::wstring& key : keys) columns += L"`" + key + L"`, ";
        vmsirecordset records(session_.query(L"SELECT " + columns +
                                             L"`Condition`, `ActionType`, `Parameters`, `ProgressText`, `Order`, "
                                             L"`Critical`, `Stage` FROM `TarvoCustomActions`"));
        const unsigned n = static_cast<unsigned>(keys.size());
        std::vector<Row> rows;
        while (records.Next()) {
            const vmsirecord& record = records.current();
            Row row;
            for (unsigned i = 1; i <= n; ++i) row.key += (i > 1 ? L"/" : L"") + record.GetString(i);
            row.condition = record.GetString(n + 1);
            row.type = record.GetString(n + 2);
            row.parameters = record.GetString(n + 3);
            row.progressText = record.GetString(n + 4);
            row.order = _wtoi(record.GetString(n + 5).c_str());  // as the script generation reads it
            row.criticalNull = ::MsiRecordIsNull(record.handle(), n + 6);
            row.stage = record.GetString(n + 7);
            rows.push_back(std::move(row));
        }
        // The installer's own row order differs between platforms: the findings follow the keys.
        std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.key < b.key; });
        return rows;
    }

    // The factory's message when it refuses the row as written, as the script reader would call it.
    static std::optional<std::wstring> refusal(const Row& row) {
        try {
            createScriptAction(row.type, row.parameters, row.progressText, true);
            return std::nullopt;
        } catch (...) {
            return toVexception(std::current_exception(), errorFrame(L"", "lint")).message();
        }
    }

    void checkFactory(const Row& row) {
        const std::optional<std::wstring> refused = refusal(row);
        if (!refused) return;
        const std::wstring& message = *refused;
        if (message.starts_with(Action::unknownTypeMessage + row.type)) {
            const std::wstring closest = Action::closestType(row.type);
            add(actionTable, row.key, true, L"unknown-type",
                formatString(L"unknown action type '%s'%s (type names are compared exactly, case included)", row.type,
                             closest.empty() ? std::wstring() : L"; did you mean " + closest + L"?"));
        } else if (message.starts_with(WriteRegistryDWORD::invalidRootMessage)) {
            // Only references inside the root itself can make it another root at run time.
            const size_t start = std::wcslen(WriteRegistryDWORD::invalidRootMessage);
            const std::wstring root = message.substr(start, message.rfind(WriteRegistryDWORD::invalidRootSuffix) - start);
            add(actionTable, row.key, !hasReferences(root), L"registry-root", L"the factory refuses the parameters: " + message);
        } else if (fieldFromReference(row.parameters)) {
            add(actionTable, row.key, false, L"field-count",
                L"the factory refuses the parameters as written: " + message +
                    L" (a field that is only a property reference may bring or lose commas at run time)");
        } else {
            add(actionTable, row.key, true, L"field-count", L"the factory refuses the parameters: " + message);
        }
    }

    void checkCondition(const Row& row) {
        // Evaluated once by the installer engine on this package; the library's evaluation retries for seconds.
        switch (::MsiEvaluateConditionW(package_.install(), row.condition.c_str())) {
            case MSICONDITION_NONE:
                add(actionTable, row.key, true, L"condition-empty",
                    L"empty condition: at run time the row stalls the installation for its retries and then fails "
                    L"it (write 1 for a row that always runs)");
                break;
            case MSICONDITION_ERROR:
                add(actionTable, row.key, true, L"condition-syntax",
                    formatString(L"the installer finds a syntax error in the condition '%s'", row.condition));
                break;
            default: break;
        }
    }

    static std::wstring unknownStage(const std::wstring& name) {
        std::wstring names;
        for (const Stage& s : stage::all) names += (names.empty() ? L"" : L", ") + std::wstring(s.name);
        return formatString(L"unknown stage '%s': the row never runs (stages: %s)", name, names);
    }

    std::optional<int> scheduledAt(const std::wstring& action) const {
        const auto found = sequence_.find(action);
        return found == sequence_.end() ? std::nullopt : std::optional<int>(found->second);
    }

    void checkSequence(bool hasRows) {
        actions_ = readCustomActions(session_, package_);
        for (const SequenceEntry& entry : readExecuteSequence(session_, package_)) sequence_[entry.action] = entry.sequence;
        std::vector<Need> needs;
        if (hasRows) needs.push_back({prepareExport, Kind::immediate, L"it writes the scripts of the table's rows", nullptr});
        for (const Stage& s : stage::all) {
            // A scheduled stage runs even without rows, and a deferred one without its script fails.
            const bool used = std::find(usedStages_.begin(), usedStages_.end(), &s) != usedStages_.end();
            if (used || scheduledCaller(s.entryPoint))
                needs.push_back({s.entryPoint, kindOf(s.kind),
                                 used ? formatString(L"the table has rows in stage '%s'", s.name)
                                      : formatString(L"%s is scheduled", s.entryPoint),
                                 &s});
        }
        if (!passwordProperty_.empty())
            needs.push_back({passwordExport, Kind::immediate,
                             formatString(L"GET_PASSWORD_PROPERTY names %s", passwordProperty_), nullptr});

        for (const Need& need : needs) {
            std::vector<std::wstring> callers, scheduled;
            for (const auto& [name, action] : actions_) {
                if (!action.callsExport(need.entryPoint)) continue;
                callers.push_back(name);
                if (scheduledAt(name)) scheduled.push_back(name);
            }
            if (need.stage && need.kind != Kind::immediate)
                deferredActions_.emplace_back(scheduled.empty() ? callers.empty() ? need.entryPoint : callers.front()
                                                                : scheduled.front(),
                                              need.stage);
            if (scheduled.empty()) {
                add(sequenceTable, callers.empty() ? need.entryPoint : callers.front(), true, L"sequence-missing",
                    formatString(L"no custom action that calls %s is scheduled, but %s", need.entryPoint, need.reason));
                continue;
            }
            for (const std::wstring& name : scheduled) {
                checkKind(name, need.kind);
                if (need.stage && need.kind != Kind::immediate) checkActionData(name, *need.stage);
            }
        }
    }

    bool scheduledCaller(const wchar_t* entryPoint) const {
        return std::any_of(actions_.begin(), actions_.end(), [&](const auto& action) {
            return action.second.callsExport(entryPoint) && scheduledAt(action.first);
        });
    }

    void checkKind(const std::wstring& name, Kind expected) {
        const int type = actions_.at(name).type;
        const Kind actual = kindOf(type);
        if (actual != expected) {
            // What runs and how its result counts stay; the kind and no impersonation are set. wixl writes an
            // immediate action for Execute="commit", so the type is mended after wixl.
            constexpr int scriptBits = msidbCustomActionTypeInScript | msidbCustomActionTypeRollback |
                                       msidbCustomActionTypeCommit | msidbCustomActionTypeNoImpersonate;
            int wanted = type & ~scriptBits;
            if (expected != Kind::immediate) wanted |= msidbCustomActionTypeInScript | msidbCustomActionTypeNoImpersonate;
            if (expected == Kind::commit) wanted |= msidbCustomActionTypeCommit;
            if (expected == Kind::rollback) wanted |= msidbCustomActionTypeRollback;
            add(sequenceTable, name, true, L"sequence-type",
                formatString(L"%s must be %s, but its type %d makes it %s; mend the built package with msibuild "
                             L"PACKAGE.msi -q \"UPDATE `CustomAction` SET `Type`=%d WHERE `Action`='%s'\"",
                             name, describe(expected), type, describe(actual), wanted, name));
            return;
        }
        if (expected == Kind::immediate) return;
        const int at = *scheduledAt(name);
        const std::optional<int> first = scheduledAt(L"InstallInitialize"), last = scheduledAt(L"InstallFinalize");
        if (first && last && *first < at && at < *last) return;
        const auto shown = [](const std::optional<int>& n) { return n ? std::to_wstring(*n) : std::wstring(L"not scheduled"); };
        add(sequenceTable, name, true, L"sequence-type",
            formatString(L"%s is scheduled at %d, outside InstallInitialize (%s) .. InstallFinalize (%s), where "
                         L"deferred actions must be",
                         name, at, shown(first), shown(last)));
    }

    // A deferred action reads only its CustomActionData: the property named after it, set before it runs.
    void checkActionData(const std::wstring& name, const Stage& s) {
        checkPropertyHandedOver(name, L"[" + std::wstring(s.scriptProperty) + L"]", L"carry the stage's script");
    }

    // The normal stage's rollback and commit actions: without them, a failure later in the installation leaves
    // what the stage changed in place. Scheduled, they must be of their kind, right beside the stage, and
    // handed the undo journal.
    void checkPartners() {
        const std::optional<int> stageAt = firstScheduled(stage::normal.entryPoint);
        if (!stageAt) return;
        struct Partner {
            const wchar_t* entryPoint;
            Kind kind;
            bool before;
        };
        for (const Partner& partner : {Partner{L"OnStageNormalRollback", Kind::rollback, true},
                                       Partner{L"OnStageNormalCommit", Kind::commit, false}}) {
            std::optional<std::wstring> found;
            for (const auto& [name, action] : actions_)
                if (action.callsExport(partner.entryPoint) && scheduledAt(name)) found = name;
            if (!found) {
                add(sequenceTable, partner.entryPoint, false, L"rollback-partner",
                    formatString(L"OnStageNormal is scheduled without %s (%s, scheduled just %s it): when the "
                                 L"installation fails after the stage, what the stage changed stays (see "
                                 L"TarvoCustomActions.wxi)",
                                 std::wstring(partner.entryPoint), describe(partner.kind),
                                 std::wstring(partner.before ? L"before" : L"after")));
                continue;
            }
            checkKind(*found, partner.kind);
            const int at = *scheduledAt(*found);
            if (partner.before ? at > *stageAt : at < *stageAt)
                add(sequenceTable, *found, true, L"rollback-partner",
                    formatString(L"%s is scheduled at %d, %s OnStageNormal (%d): it must come just %s it", *found, at,
                                 std::wstring(partner.before ? L"after" : L"before"), *stageAt,
                                 std::wstring(partner.before ? L"before" : L"after")));
            checkPropertyHandedOver(*found, L"[Action_" + std::wstring(partner.entryPoint) + L"]", L"name the undo data");
        }
    }

    std::optional<int> firstScheduled(const wchar_t* entryPoint) const {
        std::optional<int> first;
        for (const auto& [name, action] : actions_)
            if (const std::optional<int> at = scheduledAt(name); action.callsExport(entryPoint) && at && (!first || *at < *first))
                first = at;
        return first;
    }

    void checkPropertyHandedOver(const std::wstring& name, const std::wstring& value, const wchar_t* purpose) {
        const int at = *scheduledAt(name);
        constexpr int setProperty = msidbCustomActionTypeTextData | msidbCustomActionTypeProperty;
        for (const auto& [setter, action] : actions_) {
            const std::optional<int> setAt = scheduledAt(setter);
            if ((action.type & 0x3F) == setProperty && action.source == name && action.target == value && setAt &&
                *setAt < at)
                return;
        }
        add(sequenceTable, name, true, L"custom-action-data",
            formatString(L"no set-property action scheduled before %s sets the property %s to %s, so its "
                         L"CustomActionData does not %s",
                         name, name, value, std::wstring(purpose)));
    }

    void checkHidden(const std::vector<Row>& rows) {
        std::vector<std::pair<std::wstring, std::wstring>> required;  // property, why it must be hidden
        for (const Stage* s : usedStages_)
            required.emplace_back(s->scriptProperty, formatString(L"it holds the script of stage '%s'", s->name));
        for (const auto& [name, s] : deferredActions_)
            required.emplace_back(name, formatString(L"it hands the script of stage '%s' to the deferred action %s",
                                                     s->name, name));
        if (!passwordProperty_.empty())
            required.emplace_back(passwordProperty_, L"GetPassword stores the password there (GET_PASSWORD_PROPERTY)");
        for (const Row& row : rows)
            for (const std::wstring& name : maskedReferences(row))
                required.emplace_back(name, formatString(L"row %s uses it inside a masked argument", row.key));

        const std::vector<std::wstring> listed = split(session_.GetProperty(L"MsiHiddenProperties"), L";");
        const std::set<std::wstring> hidden(listed.begin(), listed.end());
        std::set<std::wstring> reported;
        for (const auto& [property, why] : required)
            if (!hidden.contains(property) && reported.insert(property).second)
                add(L"Property", L"MsiHiddenProperties", true, L"hidden-property",
                    formatString(L"%s is not listed: %s", property, why));
    }

    const Package& package_;
    vmsi session_;
    std::vector<Finding> findings_;
    std::vector<const Stage*> usedStages_;
    std::wstring passwordProperty_;
    std::map<std::wstring, CustomActionRow> actions_;
    std::map<std::wstring, int> sequence_;
    std::vector<std::pair<std::wstring, const Stage*>> deferredActions_;
};

std::wstring jsonString(const std::wstring& text) {
    // Everything outside printable ASCII is escaped, so the output is valid JSON in any code page.
    static const wchar_t hex[] = L"0123456789abcdef";
    std::wstring out = L"\"";
    for (const wchar_t c : text) {
        switch (c) {
            case L'"': out += L"\\\""; break;
            case L'\\': out += L"\\\\"; break;
            case L'\n': out += L"\\n"; break;
            case L'\r': out += L"\\r"; break;
            case L'\t': out += L"\\t"; break;
            default:
                if (c >= 0x20 && c < 0x7F) {
                    out += c;
                } else {
                    out += L"\\u";
                    for (int shift = 12; shift >= 0; shift -= 4) out += hex[(c >> shift) & 0xF];
                }
        }
    }
    return out + L"\"";
}

}  // namespace

std::vector<Finding> lintPackage(const Package& package) { return Linter(package).run(); }

std::wstring findingsAsText(const std::wstring& file, const std::vector<Finding>& findings) {
    std::wstring text;
    for (const Finding& f : findings)
        text += formatString(L"%s:%s:%s: %s: %s [%s]\n", file, f.table, f.key,
                             std::wstring(f.error ? L"error" : L"warning"), f.message, f.code);
    return text;
}

std::wstring findingsAsJson(const std::wstring& file, const std::vector<Finding>& findings) {
    std::wstring json = L"[";
    for (const Finding& f : findings) {
        json += json.size() > 1 ? L",\n " : L"\n ";
        json += L"{\"file\": " + jsonString(file) + L", \"table\": " + jsonString(f.table) + L", \"key\": " +
                jsonString(f.key) + L", \"severity\": " + jsonString(f.error ? L"error" : L"warning") +
                L", \"code\": " + jsonString(f.code) + L", \"message\": " + jsonString(f.message) + L"}";
    }
    return json + (findings.empty() ? L"]\n" : L"\n]\n");
}

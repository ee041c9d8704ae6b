#include "engine/action.h"

#include <algorithm>
#include <cwctype>

#include "actions/bindregistry.h"
#include "actions/cmd.h"
#include "actions/filecopy.h"
#include "actions/fixfiles.h"
#include "actions/execphp.h"
#include "actions/service.h"
#include "runtime/errors/codepage.h"
#include "runtime/errors/vexception.h"

namespace {

using actionfactory_detail::Factory;

struct ActionType {
    const wchar_t* name;
    Factory factory;        // null while the type is not available in this build
    const wchar_t* fields;  // the parameter string's fields, for messages to package authors
};

// Compared in this order. "Cmd" is built by CreateAction itself and takes its whole string.
const ActionType actionTypes[] = {
    {L"Cmd", nullptr, L"COMMAND LINE (commas included)"},
    {L"StartStopService", &StartStopServiceAction::CreateAction, L"MODE (true starts),SERVICE"},
    {L"RestartService", &RestartServiceAction::CreateAction, L"SERVICE"},
    {L"CopyFile", &CopyFileAction::CreateAction, L"SOURCE,TARGET"},
    {L"BackupFolder", &BackupFolderAction::CreateAction, L"FOLDER"},
    {L"RestoreFolder", &RestoreFolderAction::CreateAction, L"FOLDER"},
    {L"FormBINDKey", &FormBINDKeyAction::CreateAction, L"CONF FILE,KEY FILE"},
    {L"WriteRegistryDWORD", &WriteRegistryDWORD::CreateAction, L"ROOT,KEY,NAME,VALUE"},
    {L"FixTemplateFile", &FixTemplateFile::CreateAction, L"TEMPLATE[>TARGET][,PLACEHOLDER=VALUE...]"},
    {L"FixIniFile", &FixIniFile::CreateAction, L"FILE,SECTION,KEY,VALUE[,ENABLE]"},
    {L"FixConfFile", &FixConfFile::CreateAction, L"FILE,KEY,VALUE[,NEW VALUE]"},
    {L"ExecPHPScript", &ExecPHPScriptAction::CreateAction, L"SCRIPT[,ARGUMENT...]"},
};

struct ExtraType {
    std::wstring name;
    Factory factory;
};

std::vector<ExtraType>& extraTypes() {
    static std::vector<ExtraType> types;
    return types;
}

}  // namespace

void actionfactory_detail::registerExtraType(const wchar_t* name, Factory factory) {
    extraTypes().push_back({name, factory});
}

Action::~Action() = default;

bool Action::setCritical(bool critical) {
    critical_ = critical;
    return critical_;
}

bool Action::isCritical() const { return critical_; }

std::wstring Action::getText() const { return text_; }

std::unique_ptr<Action> Action::CreateAction(const std::wstring& type, const std::wstring& parameters,
                                             const std::wstring& text, bool critical) {
    std::unique_ptr<Action> action;
    if (type == L"Cmd") {
        if (parameters.empty())
            throw vexception(L"Empty arguments on call CreateAction", errorFrame(L"", "CmdAction::CreateAction"));
        action = std::make_unique<CmdAction>(text, parameters);
    } else {
        for (const ActionType& candidate : actionTypes) {
            if (type == candidate.name) {
                if (candidate.factory != nullptr) action = candidate.factory(parameters, text);
                break;
            }
        }
    }
    for (const ExtraType& extra : extraTypes())
        if (!action && type == extra.name) action = extra.factory(parameters, text);
    if (!action)
        throw UnknownActionType(unknownTypeMessage + type, errorFrame(L"", "Action::CreateAction"));
    action->setCritical(critical);
    return action;
}

std::wstring Action::fieldSynopsis(const std::wstring& type) {
    for (const ActionType& candidate : actionTypes)
        if (type == candidate.name) return candidate.fields;
    return {};
}

std::wstring Action::closestType(const std::wstring& type) {
    const auto lower = [](std::wstring text) {
        for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
        return text;
    };
    const std::wstring wanted = lower(type);
    // Levenshtein distance, case ignored: a typo, a plural or a missing letter is one or two edits away.
    const auto distance = [&](const std::wstring& name) {
        std::vector<size_t> row(name.size() + 1);
        for (size_t j = 0; j < row.size(); ++j) row[j] = j;
        for (size_t i = 1; i <= wanted.size(); ++i) {
            size_t diagonal = row[0];
            row[0] = i;
            for (size_t j = 1; j <= name.size(); ++j) {
                const size_t above = row[j];
                row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (wanted[i - 1] == name[j - 1] ? 0 : 1)});
                diagonal = above;
            }
        }
        return row.back();
    };
    std::wstring best;
    size_t bestDistance = std::max<size_t>(2, wanted.size() / 3) + 1;  // farther is a different word
    for (const ActionType& candidate : actionTypes) {
        const size_t d = distance(lower(candidate.name));
        if (d < bestDistance) {
            best = candidate.name;
            bestDistance = d;
        }
    }
    return best;
}

std::vector<std::pair<size_t, size_t>> splitOffsets(std::wstring_view text, std::wstring_view separators) {
    std::vector<std::pair<size_t, size_t>> fields;
    size_t position = 0;
    while (position < text.size()) {
        const size_t start = text.find_first_not_of(separators, position);
        if (start == std::wstring_view::npos) break;
        const size_t end = std::min(text.find_first_of(separators, start), text.size());
        fields.emplace_back(start, end);
        position = end;
    }
    return fields;
}

std::vector<std::wstring> split(const std::wstring& text, std::wstring_view separators) {
    std::vector<std::wstring> fields;
    for (const auto& [start, end] : splitOffsets(text, separators)) fields.emplace_back(text, start, end - start);
    return fields;
}

std::vector<std::wstring> factoryFields(const std::wstring& parameters, const char* className, size_t minFields,
                                        size_t maxFields) {
    std::vector<std::wstring> fields = split(parameters, L",");
    if (fields.size() < minFields || fields.size() > maxFields)
        throw FieldCountError(L"Invalid arguments on call " + wstr(className),
                              errorFrame(L"", std::string(className) + "::CreateAction"), fields.size());
    return fields;
}

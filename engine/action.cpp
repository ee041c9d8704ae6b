#include "engine/action.h"

#include <algorithm>

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
    Factory factory;  // null while the type is not available in this build
};

// Compared in this order. "Cmd" is built by CreateAction itself.
const ActionType actionTypes[] = {
    {L"Cmd", nullptr},
    {L"StartStopService", &StartStopServiceAction::CreateAction},
    {L"RestartService", &RestartServiceAction::CreateAction},
    {L"CopyFile", &CopyFileAction::CreateAction},
    {L"BackupFolder", &BackupFolderAction::CreateAction},
    {L"RestoreFolder", &RestoreFolderAction::CreateAction},
    {L"FormBINDKey", &FormBINDKeyAction::CreateAction},
    {L"WriteRegistryDWORD", &WriteRegistryDWORD::CreateAction},
    {L"FixTemplateFile", &FixTemplateFile::CreateAction},
    {L"FixIniFile", &FixIniFile::CreateAction},
    {L"FixConfFile", &FixConfFile::CreateAction},
    {L"ExecPHPScript", &ExecPHPScriptAction::CreateAction},
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
        throw vexception(unknownTypeMessage + type, errorFrame(L"", "Action::CreateAction"));
    action->setCritical(critical);
    return action;
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
        throw vexception(L"Invalid arguments on call " + wstr(className),
                         errorFrame(L"", std::string(className) + "::CreateAction"));
    return fields;
}

#pragma once
// The four configuration stages: their names in the table, the properties their scripts travel in, the
// exports that run them and how a package must schedule those.
#include <span>
#include <string_view>

enum class StageKind { immediate, deferred, commit };

struct Stage {
    const wchar_t* name;            // the value of the table's `Stage` column
    const wchar_t* scriptProperty;  // written by PrepareTarvoCustomActions
    const wchar_t* entryPoint;      // the export that runs the stage's script
    const wchar_t* title;           // names the stage in its log line and its error frame
    StageKind kind;                 // how the package schedules the entry point

    // What the entry point reads: a deferred (or commit) action sees only "CustomActionData".
    constexpr const wchar_t* runnerProperty() const {
        return kind == StageKind::immediate ? scriptProperty : L"CustomActionData";
    }
};

namespace stage {
// What each row of a stage moves the installer's progress bar by; PrepareTarvoCustomActions reserves as much
// for each row that the deferred stages will run.
inline constexpr int ticksPerRow = 10000;

inline constexpr Stage normal{L"normal", L"Action_OnStageNormal", L"OnStageNormal",
                              L"Reconfiguring installed components", StageKind::deferred};
inline constexpr Stage precommit{L"precommit", L"Action_OnStagePrecommit", L"OnStagePrecommit",
                                 L"Finishing configuration of installed components", StageKind::commit};
inline constexpr Stage postinstall{L"postinstall", L"Action_OnStagePostinstall", L"OnStagePostinstall",
                                   L"Performing post-installation actions", StageKind::immediate};
inline constexpr Stage preinstall{L"preinstall", L"Action_OnStagePreinstall", L"OnStagePreinstall",
                                  L"Performing pre-installation actions", StageKind::immediate};
// In the order in which their scripts are generated.
inline constexpr Stage all[] = {normal, precommit, postinstall, preinstall};

// The stage whose `Stage` value is `name` (exact, case-sensitive), or null.
constexpr const Stage* find(std::wstring_view name) {
    for (const Stage& s : all)
        if (name == s.name) return &s;
    return nullptr;
}
}  // namespace stage

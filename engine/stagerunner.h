#pragma once
// The stage entry points' shared runner: reads the stage's script property, logs it masked, runs it.
#include <windows.h>
#include <msi.h>

#include <string>

#include "engine/stages.h"

UINT _ExecuteActionScript(MSIHANDLE install, const std::wstring& stageTitle, const std::wstring& propertyName);

// What the stage's export does: the runner with the stage's title and the property its entry point reads.
inline UINT runStage(MSIHANDLE install, const Stage& s) {
    return _ExecuteActionScript(install, s.title, s.runnerProperty());
}

// The rollback and commit actions of the normal stage: the installation failed, or is kept. Their
// CustomActionData names the stage's undo journal.
UINT runNormalRollback(MSIHANDLE install);
UINT runNormalCommit(MSIHANDLE install);

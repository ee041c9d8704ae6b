// The DLL's exported custom actions and data.
#include <windows.h>
#include <msi.h>

#include "engine/generation.h"
#include "engine/password.h"
#include "engine/stagerunner.h"

#define TARVO_EXPORT extern "C" __declspec(dllexport) UINT __stdcall

TARVO_EXPORT OnStageNormal(MSIHANDLE install) {
    return _ExecuteActionScript(install, stage::normalTitle, L"CustomActionData");
}

TARVO_EXPORT OnStagePrecommit(MSIHANDLE install) {
    return _ExecuteActionScript(install, stage::precommitTitle, L"CustomActionData");
}

TARVO_EXPORT OnStagePostinstall(MSIHANDLE install) {
    return _ExecuteActionScript(install, stage::postinstallTitle, L"Action_OnStagePostinstall");
}

TARVO_EXPORT OnStagePreinstall(MSIHANDLE install) {
    return _ExecuteActionScript(install, stage::preinstallTitle, L"Action_OnStagePreinstall");
}

TARVO_EXPORT GetPassword(MSIHANDLE install) { return runGetPassword(install); }

TARVO_EXPORT PrepareTarvoCustomActions(MSIHANDLE install) { return runPrepareTarvoCustomActions(install); }

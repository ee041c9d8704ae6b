// The DLL's exported custom actions and data.
#include <windows.h>
#include <msi.h>

#include "engine/generation.h"
#include "engine/password.h"
#include "engine/stagerunner.h"
#include "runtime/crashdump/crashdump.h"

// The crash-dump settings live from load to unload. The runtime's C++ objects are all made before this runs
// and destroyed after it, whatever order they were linked in.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH)
        CrashDumpInfo::load();
    else if (reason == DLL_PROCESS_DETACH)
        CrashDumpInfo::unload();
    return TRUE;
}

#define TARVO_EXPORT extern "C" __declspec(dllexport) UINT __stdcall

TARVO_EXPORT OnStageNormal(MSIHANDLE install) { return runStage(install, stage::normal); }

TARVO_EXPORT OnStageNormalRollback(MSIHANDLE install) { return runNormalRollback(install); }

TARVO_EXPORT OnStageNormalCommit(MSIHANDLE install) { return runNormalCommit(install); }

TARVO_EXPORT OnStagePrecommit(MSIHANDLE install) { return runStage(install, stage::precommit); }

TARVO_EXPORT OnStagePostinstall(MSIHANDLE install) { return runStage(install, stage::postinstall); }

TARVO_EXPORT OnStagePreinstall(MSIHANDLE install) { return runStage(install, stage::preinstall); }

TARVO_EXPORT GetPassword(MSIHANDLE install) { return runGetPassword(install); }

TARVO_EXPORT PrepareTarvoCustomActions(MSIHANDLE install) { return runPrepareTarvoCustomActions(install); }

#pragma once
// Turns the package's TarvoCustomActions table into one action script per stage.
#include <windows.h>
#include <msi.h>

#include <string>

class vmsi;

// The script of one stage: the rows whose conditions hold, in Order, with references resolved now.
std::wstring GenerateCAScript(vmsi& session, const std::wstring& stage);

// The custom action: "AdminGroup", "SSLRANDOM" and the four stage scripts.
UINT runPrepareTarvoCustomActions(MSIHANDLE install);

#pragma once
// Runs the actions of one stage in order; after a critical failure rolls back the earlier ones.
#include <windows.h>

#include <string>

#include "engine/action.h"

class vmsi;

// 0 when the end of the list was reached, 1603 when rollback ran.
UINT executeList(vmsi& session, int uiLevel, ActionList& actions, const std::wstring& stageTitle);

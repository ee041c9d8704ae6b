#pragma once
// The stage entry points' shared runner: reads the stage's script property, logs it masked, runs it.
#include <windows.h>
#include <msi.h>

#include <string>

UINT _ExecuteActionScript(MSIHANDLE install, const std::wstring& stageTitle, const std::wstring& propertyName);

namespace stage {
inline constexpr const wchar_t* normalTitle = L"Reconfiguring installed components";
inline constexpr const wchar_t* precommitTitle = L"Finishing configuration of installed components";
inline constexpr const wchar_t* postinstallTitle = L"Performing post-installation actions";
inline constexpr const wchar_t* preinstallTitle = L"Performing pre-installation actions";
}  // namespace stage

#pragma once
// Turns the package's TarvoCustomActions table into one action script per stage.
#include <windows.h>
#include <msi.h>
#include <msxml2.h>

#include <string>

class vmsi;

// The script of one stage: the rows whose conditions hold, in Order, with references resolved now. With an
// `undoFolder`, the stage keeps its undo journal there for the installation's rollback and commit actions.
std::wstring GenerateCAScript(vmsi& session, const std::wstring& stage, const std::wstring& undoFolder = {});

// Appends to `root` the `action` element of one row, its attributes in the script's order.
void appendScriptAction(IXMLDOMDocument2* document, IXMLDOMElement* root, const std::wstring& type,
                        const std::wstring& parameters, const std::wstring& text, int critical);

// The custom action: "AdminGroup", "SSLRANDOM", the four stage scripts and the undo journal of the normal
// stage for its rollback and commit actions.
UINT runPrepareTarvoCustomActions(MSIHANDLE install);

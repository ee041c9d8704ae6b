#pragma once
// Reading an action script: one action per `action` element of the document element, in document order.
#include <msxml2.h>

#include "engine/action.h"

void readActionList(IXMLDOMDocument2* document, ActionList& actions);

// The action of one `action` element: as the factory builds it, or null for a "GroupAction" element, which
// only marks a group in the table and produces no action.
std::unique_ptr<Action> createScriptAction(const std::wstring& type, const std::wstring& parameters,
                                           const std::wstring& text, bool critical);

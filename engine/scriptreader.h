#pragma once
// Reading an action script: one action per `action` element of the document element, in document order.
#include <msxml2.h>

#include "engine/action.h"

void readActionList(IXMLDOMDocument2* document, ActionList& actions);

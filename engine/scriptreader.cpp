#include "engine/scriptreader.h"

#include "msi/vxml.h"
#include "runtime/errors/format.h"

void readActionList(IXMLDOMDocument2* document, ActionList& actions) {
    if (document == nullptr) throwComError(E_POINTER, nullptr, IID_NULL);
    const XmlElement root = documentElement(document);
    const XmlNodeList children = childNodes(root.get());
    const long count = length(children.get());
    for (long i = 0; i < count; ++i) {
        const XmlNode node = item(children.get(), i);
        if (nodeType(node.get()) != NODE_ELEMENT || nodeName(node.get()) != L"action") continue;
        const XmlElement element = asElement(node.get());
        const std::wstring type = getAttribute(element.get(), L"type", L"");
        const std::wstring parameters = getAttribute(element.get(), L"parameters", L"");
        const std::wstring text = getAttribute(element.get(), L"text", L"");
        const bool critical = getAttribute(element.get(), L"critical", L"") != L"0";
        if (std::unique_ptr<Action> action = createScriptAction(type, parameters, text, critical))
            actions.push_back(std::move(action));
    }
}

std::unique_ptr<Action> createScriptAction(const std::wstring& type, const std::wstring& parameters,
                                           const std::wstring& text, bool critical) {
    if (type == L"GroupAction") return nullptr;
    try {
        return Action::CreateAction(type, parameters, text, critical);
    } catch (const UnknownActionType& e) {
        const std::wstring closest = Action::closestType(type);
        UnknownActionType told(e.message() + (closest.empty() ? L"" : L" (did you mean " + closest + L"?)"));
        for (const ErrorFrame& frame : e.frames()) told.addFrame(frame);
        throw told;
    } catch (const FieldCountError& e) {
        // The factory names only its class: the action, the fields its type takes and what it was given.
        const std::wstring synopsis = Action::fieldSynopsis(type);
        FieldCountError told(formatString(L"%s: the action '%s' needs %s, but its parameters have %d field(s)",
                                          e.message(), text, synopsis.empty() ? L"other fields" : synopsis,
                                          static_cast<int>(e.found())),
                             e.frames().empty() ? ErrorFrame{} : e.frames().front(), e.found());
        for (size_t i = 1; i < e.frames().size(); ++i) told.addFrame(e.frames()[i]);
        throw told;
    }
}

#include "engine/scriptreader.h"

#include "msi/vxml.h"

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
    return Action::CreateAction(type, parameters, text, critical);
}

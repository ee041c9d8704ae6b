#include "msi/vxml.h"

#include <comdef.h>

#include "engine/masking.h"
#include "runtime/errors/format.h"
#include "runtime/errors/vexception.h"

namespace {

const CLSID CLSID_DOMDocument60_ = {0x88d96a05, 0xf192, 0x11d4, {0xa6, 0x5f, 0x00, 0x40, 0x96, 0x32, 0x51, 0xe5}};
const IID IID_IXMLDOMDocument2_ = {0x2933bf96, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};
const IID IID_IXMLDOMDocument_ = {0x2933bf81, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};
const IID IID_IXMLDOMNode_ = {0x2933bf80, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};
const IID IID_IXMLDOMNodeList_ = {0x2933bf82, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};
const IID IID_IXMLDOMElement_ = {0x2933bf86, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};
const IID IID_IXMLDOMParseError_ = {0x3efaa426, 0x272f, 0x11d2, {0x83, 0x6f, 0x00, 0x00, 0xf8, 0x7a, 0x77, 0x82}};

tarvo::unique_bstr makeBstr(const std::wstring& text) {
    tarvo::unique_bstr bstr(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    if (!bstr) throwComError(E_OUTOFMEMORY, nullptr, IID_NULL);
    return bstr;
}

std::wstring fromBstr(BSTR bstr) { return bstr ? std::wstring(bstr, ::SysStringLen(bstr)) : std::wstring(); }

void requirePointer(const void* p) {
    if (p == nullptr) throwComError(E_POINTER, nullptr, IID_NULL);
}

}  // namespace

void throwComError(HRESULT hr, IUnknown* object, REFIID iid) {
    IErrorInfo* info = nullptr;
    if (object != nullptr) {
        tarvo::com_ptr<ISupportErrorInfo> support;
        if (SUCCEEDED(object->QueryInterface(IID_ISupportErrorInfo, support.put_void())) && support &&
            support->InterfaceSupportsErrorInfo(iid) == S_OK)
            if (::GetErrorInfo(0, &info) != S_OK) info = nullptr;
    }
    throw _com_error(hr, info, false);
}

void checkHr(HRESULT hr, IUnknown* object, REFIID iid) {
    if (FAILED(hr)) throwComError(hr, object, iid);
}

XmlDocument vxmlLoadXML(const std::wstring& text) {
    XmlDocument document;
    {
        tarvo::com_ptr<IUnknown> unknown;
        const HRESULT created = ::CoCreateInstance(CLSID_DOMDocument60_, nullptr,
                                                   CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER |
                                                       CLSCTX_REMOTE_SERVER,
                                                   IID_IUnknown, unknown.put_void());
        HRESULT hr = created;
        if (SUCCEEDED(hr)) {
            hr = ::OleRun(unknown.get());
            if (SUCCEEDED(hr)) hr = unknown->QueryInterface(IID_IXMLDOMDocument2_, document.put_void());
        }
        if (FAILED(hr) && hr != E_NOINTERFACE) throwComError(hr, nullptr, IID_NULL);
    }
    requirePointer(document.get());

    tarvo::unique_bstr source = makeBstr(text);
    VARIANT_BOOL loaded = VARIANT_FALSE;
    checkHr(document->loadXML(source.get(), &loaded), document.get(), IID_IXMLDOMDocument_);
    if (loaded == VARIANT_TRUE) return document;

    tarvo::com_ptr<IXMLDOMParseError> parseError;
    checkHr(document->get_parseError(parseError.put()), document.get(), IID_IXMLDOMDocument_);
    requirePointer(parseError.get());
    tarvo::unique_bstr reason;
    checkHr(parseError->get_reason(reason.put()), parseError.get(), IID_IXMLDOMParseError_);
    long line = 0;
    checkHr(parseError->get_line(&line), parseError.get(), IID_IXMLDOMParseError_);
    throw vexception(formatString(L"%s at load xml %s in line %d", fromBstr(reason.get()), maskSecrets(text),
                                  static_cast<int>(line)),
                     errorFrame(L"", "vxmlLoadXML"));
}

std::wstring getAttribute(IXMLDOMElement* element, const std::wstring& name, const std::wstring& defaultValue) {
    requirePointer(element);
    tarvo::unique_bstr attribute = makeBstr(name);
    tarvo::unique_variant value;
    checkHr(element->getAttribute(attribute.get(), &value), element, IID_IXMLDOMElement_);
    if (value.vt == VT_BSTR) return fromBstr(value.bstrVal);
    return defaultValue;
}

void setAttribute(IXMLDOMElement* element, const std::wstring& name, const std::wstring& value) {
    requirePointer(element);
    tarvo::unique_bstr attribute = makeBstr(name);
    tarvo::unique_variant variant;
    variant.vt = VT_BSTR;
    variant.bstrVal = makeBstr(value).release();
    checkHr(element->setAttribute(attribute.get(), variant), element, IID_IXMLDOMElement_);
}

XmlElement documentElement(IXMLDOMDocument2* document) {
    requirePointer(document);
    XmlElement element;
    checkHr(document->get_documentElement(element.put()), document, IID_IXMLDOMDocument_);
    requirePointer(element.get());
    return element;
}

XmlNodeList childNodes(IXMLDOMNode* node) {
    requirePointer(node);
    XmlNodeList list;
    checkHr(node->get_childNodes(list.put()), node, IID_IXMLDOMNode_);
    requirePointer(list.get());
    return list;
}

long length(IXMLDOMNodeList* list) {
    requirePointer(list);
    long count = 0;
    checkHr(list->get_length(&count), list, IID_IXMLDOMNodeList_);
    return count;
}

XmlNode item(IXMLDOMNodeList* list, long index) {
    requirePointer(list);
    XmlNode node;
    checkHr(list->get_item(index, node.put()), list, IID_IXMLDOMNodeList_);
    requirePointer(node.get());
    return node;
}

DOMNodeType nodeType(IXMLDOMNode* node) {
    requirePointer(node);
    DOMNodeType type = NODE_INVALID;
    checkHr(node->get_nodeType(&type), node, IID_IXMLDOMNode_);
    return type;
}

std::wstring nodeName(IXMLDOMNode* node) {
    requirePointer(node);
    tarvo::unique_bstr name;
    checkHr(node->get_nodeName(name.put()), node, IID_IXMLDOMNode_);
    return fromBstr(name.get());
}

XmlElement asElement(IXMLDOMNode* node) {
    requirePointer(node);
    XmlElement element;
    checkHr(node->QueryInterface(IID_IXMLDOMElement_, element.put_void()), node, IID_IXMLDOMNode_);
    requirePointer(element.get());
    return element;
}

XmlElement createElement(IXMLDOMDocument2* document, const std::wstring& name) {
    requirePointer(document);
    tarvo::unique_bstr tag = makeBstr(name);
    XmlElement element;
    checkHr(document->createElement(tag.get(), element.put()), document, IID_IXMLDOMDocument_);
    requirePointer(element.get());
    return element;
}

void appendChild(IXMLDOMNode* parent, IXMLDOMNode* child) {
    requirePointer(parent);
    requirePointer(child);
    XmlNode added;
    checkHr(parent->appendChild(child, added.put()), parent, IID_IXMLDOMNode_);
}

std::wstring xml(IXMLDOMNode* node) {
    requirePointer(node);
    tarvo::unique_bstr text;
    checkHr(node->get_xml(text.put()), node, IID_IXMLDOMNode_);
    return fromBstr(text.get());
}

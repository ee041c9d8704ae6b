#pragma once
// Action scripts through the MSXML 6 DOM. Every failing DOM call is raised as _com_error.
#include <windows.h>
#include <msxml2.h>

#include <string>

#include "runtime/holder.h"

using XmlDocument = tarvo::com_ptr<IXMLDOMDocument2>;
using XmlNode = tarvo::com_ptr<IXMLDOMNode>;
using XmlElement = tarvo::com_ptr<IXMLDOMElement>;
using XmlNodeList = tarvo::com_ptr<IXMLDOMNodeList>;

// Raises a failing HRESULT as _com_error, with the error information the interface offers.
void checkHr(HRESULT hr, IUnknown* object, REFIID iid);
[[noreturn]] void throwComError(HRESULT hr, IUnknown* object, REFIID iid);

// A new MSXML 6 document holding `text`. Text that is not a document fails with the parser's reason and
// line; the quoted text is masked, since scripts carry passwords.
XmlDocument vxmlLoadXML(const std::wstring& text);

std::wstring getAttribute(IXMLDOMElement* element, const std::wstring& name, const std::wstring& defaultValue);
void setAttribute(IXMLDOMElement* element, const std::wstring& name, const std::wstring& value);

XmlElement documentElement(IXMLDOMDocument2* document);
XmlNodeList childNodes(IXMLDOMNode* node);
long length(IXMLDOMNodeList* list);
XmlNode item(IXMLDOMNodeList* list, long index);
DOMNodeType nodeType(IXMLDOMNode* node);
std::wstring nodeName(IXMLDOMNode* node);
XmlElement asElement(IXMLDOMNode* node);
XmlElement createElement(IXMLDOMDocument2* document, const std::wstring& name);
void appendChild(IXMLDOMNode* parent, IXMLDOMNode* child);
std::wstring xml(IXMLDOMNode* node);

#pragma once
// Conversions between wide text and the narrow code pages.
#include <windows.h>
#include <string>

std::string cstr(const std::wstring& text, UINT codePage = CP_ACP);
std::wstring wstr(const std::string& text, UINT codePage = CP_ACP);
std::wstring tFromOEM(const std::string& text);
std::string tToOEM(const std::wstring& text);

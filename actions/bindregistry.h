#pragma once
// "FormBINDKey": the rndc configuration file; "WriteRegistryDWORD": one DWORD in the 32-bit registry view.
#include <windows.h>

#include <memory>
#include <string>

#include "engine/action.h"
#include "engine/undo.h"

class FormBINDKeyAction : public Action {
public:
    FormBINDKeyAction(std::wstring text, std::wstring configFile, std::wstring keyFile);
    // Parameters: configuration file, key file.
    static std::unique_ptr<Action> CreateAction(const std::wstring& parameters, const std::wstring& text);

    void execute(vmsi& session) override;
    void rollback(vmsi& session) override;

    // The header that makes rndc use the local server with the key "rndc-key".
    static const char header[];

private:
    std::wstring configFile_;
    std::wstring keyFile_;
    FileUndo undo_;
};

class WriteRegistryDWORD : public Action {
public:
    WriteRegistryDWORD(std::wstring text, HKEY root, std::wstring subkey, std::wstring valueName, int value);
    // Parameters: root ("CR" or "LM"), subkey, value name, value (decimal, read like _wtoi).
    static std::unique_ptr<Action> CreateAction(const std::wstring& parameters, const std::wstring& text);

    void execute(vmsi& session) override;
    void rollback(vmsi& session) override;

    // How the factory's refusal of a root begins: the root follows, then " at call WriteRegistryDWORD".
    static constexpr const wchar_t* invalidRootMessage = L"Invalid registry root ";
    static constexpr const wchar_t* invalidRootSuffix = L" at call WriteRegistryDWORD";

private:
    HKEY root_;
    std::wstring subkey_;
    std::wstring valueName_;
    int value_;
    RegistryValueUndo undo_;
};

#pragma once
// The configuration-file fixers. "FixIniFile" switches one key=value line of an INI file on or off, or adds
// it under its section; "FixConfFile" comments out the lines of a conf file that set a directive to a value,
// or gives them a new value; "FixTemplateFile" makes a file from a template with its placeholders filled in.
//
// They edit a file's own bytes: whatever an edit does not touch is written back exactly as it was, whatever
// the file's encoding. Files with a UTF-8 or UTF-16LE byte-order mark, and well-formed UTF-8 files with
// characters beyond ASCII, are searched and edited as UTF-8 or UTF-16; any other file in the code page its
// type uses (OEM for INI files, ANSI for the others). A new file is written beside the old one and swapped in
// with one step that keeps the old file's security, so the file always holds either its old or its new bytes.
#include <map>
#include <memory>
#include <string>

#include "engine/action.h"
#include "engine/undo.h"

class FixIniFile : public Action {
public:
    FixIniFile(std::wstring text, std::wstring file, std::wstring section, std::wstring key, std::wstring value,
               bool enable);
    // Parameters: file, section, key, value[, enable: exactly "0" comments the line out; anything else, or
    // nothing, makes it active].
    static std::unique_ptr<Action> CreateAction(const std::wstring& parameters, const std::wstring& text);

    // Only a missing file fails the action; any other failure leaves the file as it was and is logged as a
    // warning (in the installer log too, whatever the Debug switch).
    void execute(vmsi& session) override;
    // The file's previous bytes come back, while the file is as the action left it.
    void rollback(vmsi& session) override;

private:
    void fix();

    std::wstring file_;
    std::wstring section_;
    std::wstring key_;
    std::wstring value_;
    bool enable_;
    FileUndo undo_;
};

class FixConfFile : public Action {
public:
    FixConfFile(std::wstring text, std::wstring file, std::wstring key, std::wstring value, std::wstring newValue);
    // Parameters: file, directive, value[, new value]. Without a new value every line setting the directive
    // to the value is commented out with "#"; with one, those lines become "directive new-value" (added at
    // the end when no line sets either value).
    static std::unique_ptr<Action> CreateAction(const std::wstring& parameters, const std::wstring& text);

    // Failures as for FixIniFile.
    void execute(vmsi& session) override;
    void rollback(vmsi& session) override;

private:
    void fix();

    std::wstring file_;
    std::wstring key_;
    std::wstring value_;
    std::wstring newValue_;
    FileUndo undo_;
};

class FixTemplateFile : public Action {
public:
    using Placeholders = std::map<std::wstring, std::wstring>;  // placeholder -> replacement, in ordinal order

    FixTemplateFile(std::wstring text, std::wstring source, std::wstring target, Placeholders placeholders);
    // Parameters: "template>target" (or one file, made from itself), then definitions "PLACEHOLDER=value",
    // "Escape(PLACEHOLDER)=value" (backslashes doubled) or "UNIX(PLACEHOLDER)=value" (backslashes as slashes).
    // A definition without a placeholder is refused.
    static std::unique_ptr<Action> CreateAction(const std::wstring& parameters, const std::wstring& text);

    // The target gets the new text and its previous bytes go to target + ".bak"; every failure fails the
    // action and leaves both as they were.
    void execute(vmsi& session) override;
    // The target and its ".bak" as they were before the action, each while it is as the action left it.
    void rollback(vmsi& session) override;

private:
    std::wstring source_;
    std::wstring target_;
    Placeholders placeholders_;
    FileUndo targetUndo_;
    FileUndo backupUndo_;
};

#pragma once
// Folder trees for the file-action tests: written from and read into a map of relative paths to contents,
// through the library's long-path file operations.
#include <map>
#include <string>

#include "runtime/filesystem/fileops.h"

// Relative path -> content; a folder is the content "<folder>".
using Tree = std::map<std::wstring, std::string>;
inline const std::string folderMark = "<folder>";

inline Tree readTree(const std::wstring& root, const std::wstring& relative = L"") {
    Tree tree;
    VFileFinder finder;
    for (bool more = finder.first(root + (relative.empty() ? L"" : L"\\" + relative) + L"\\*"); more; more = finder.next()) {
        if (finder.isDots()) continue;
        const std::wstring name = relative.empty() ? finder.name() : relative + L"\\" + finder.name();
        if (finder.isDirectory()) {
            tree[name] = folderMark;
            tree.merge(readTree(root, name));
        } else {
            tree[name] = VFile(root + L"\\" + name, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0).readAll();
        }
    }
    return tree;
}

// A folder under `base` whose path is longer than MAX_PATH.
inline std::wstring longFolder(const std::wstring& base) {
    const std::wstring path = base + L"\\" + std::wstring(100, L'l') + L"\\" + std::wstring(100, L'm') + L"\\" +
                              std::wstring(100, L'n');
    VDirectory::createDirectory(path);
    return path;
}

// Adds or overwrites what `tree` names (nothing else is removed).
inline void writeTree(const std::wstring& root, const Tree& tree) {
    VDirectory::createDirectory(root);
    for (const auto& [name, content] : tree) {
        if (content == folderMark) {
            VDirectory::createDirectory(root + L"\\" + name);
        } else {
            VDirectory::createDirectory(root + L"\\" + name.substr(0, name.find_last_of(L'\\') + 1));
            VFile(root + L"\\" + name, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL).writeAll(content);
        }
    }
}

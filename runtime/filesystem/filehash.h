#pragma once
// A 128-bit digest of bytes, to recognise a file's content later without keeping a copy of it. It tells
// content apart as reliably as a cryptographic digest does for content nobody crafted to collide, and runs
// at memory speed (the system's SHA-256 is several times slower than reading the file).
#include <windows.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

class ContentDigest {
public:
    void add(std::string_view bytes);
    // The digest of everything added, as 32 hexadecimal characters.
    std::wstring finish() const;

private:
    void block(const unsigned char* bytes);
    std::uint64_t a_ = 0x243f6a8885a308d3ull, b_ = 0x13198a2e03707344ull;
    std::uint64_t length_ = 0;
    std::array<unsigned char, 16> pending_{};
    size_t pendingSize_ = 0;
};

std::wstring digestOf(std::string_view bytes);
// The digest of a file's content, read in pieces; throws when the file cannot be read.
std::wstring digestOfFile(const std::wstring& path);

#include "runtime/filesystem/filehash.h"

#include <cstring>
#include <vector>

#include "runtime/filesystem/fileops.h"

namespace {

constexpr std::uint64_t k1 = 0x87c37b91114253d5ull, k2 = 0x4cf5ad432745937full;

std::uint64_t rotl(std::uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

std::uint64_t spread(std::uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ull;
    return x ^ (x >> 33);
}

std::uint64_t load64(const unsigned char* bytes) {
    std::uint64_t value;
    std::memcpy(&value, bytes, sizeof value);  // both widths of the product are little-endian
    return value;
}

}  // namespace

void ContentDigest::block(const unsigned char* bytes) {
    a_ ^= rotl(load64(bytes) * k1, 31) * k2;
    a_ = rotl(a_, 27) + b_;
    a_ = a_ * 5 + 0x52dce729;
    b_ ^= rotl(load64(bytes + 8) * k2, 33) * k1;
    b_ = rotl(b_, 31) + a_;
    b_ = b_ * 5 + 0x38495ab5;
}

void ContentDigest::add(std::string_view bytes) {
    auto at = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t left = bytes.size();
    length_ += left;
    if (pendingSize_) {
        const size_t taken = std::min(left, pending_.size() - pendingSize_);
        std::memcpy(pending_.data() + pendingSize_, at, taken);
        pendingSize_ += taken;
        at += taken;
        left -= taken;
        if (pendingSize_ < pending_.size()) return;
        block(pending_.data());
        pendingSize_ = 0;
    }
    for (; left >= 16; at += 16, left -= 16) block(at);
    std::memcpy(pending_.data(), at, left);
    pendingSize_ = left;
}

std::wstring ContentDigest::finish() const {
    ContentDigest last = *this;
    // The tail, padded, and the length: "ab" and "ab\0" differ.
    std::array<unsigned char, 16> tail{};
    std::memcpy(tail.data(), pending_.data(), pendingSize_);
    tail[15] ^= static_cast<unsigned char>(0x80 | pendingSize_);
    last.block(tail.data());
    std::uint64_t a = last.a_ ^ length_, b = last.b_ ^ rotl(length_, 29);
    a += b;
    b += a;
    a = spread(a);
    b = spread(b);
    a += b;
    b += a;
    wchar_t text[33];
    for (int i = 0; i < 16; ++i) text[i] = L"0123456789abcdef"[(a >> (60 - 4 * i)) & 15];
    for (int i = 0; i < 16; ++i) text[16 + i] = L"0123456789abcdef"[(b >> (60 - 4 * i)) & 15];
    return std::wstring(text, 32);
}

std::wstring digestOf(std::string_view bytes) {
    ContentDigest digest;
    digest.add(bytes);
    return digest.finish();
}

std::wstring digestOfFile(const std::wstring& path) {
    VFile file(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
               FILE_FLAG_SEQUENTIAL_SCAN);
    ContentDigest digest;
    std::vector<char> buffer(1 << 20);
    while (const DWORD read = file.read(buffer.data(), static_cast<DWORD>(buffer.size())))
        digest.add(std::string_view(buffer.data(), read));
    return digest.finish();
}

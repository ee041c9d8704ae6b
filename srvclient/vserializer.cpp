#include "srvclient/vserializer.h"

#include <cstring>
#include <utility>

#include "runtime/errors/codepage.h"
#include "runtime/errors/format.h"

namespace vserializer {

namespace {

constexpr std::uint32_t charSizeAnsi = 1;
constexpr std::uint32_t charSizeWide = 2;
// The largest size whose rounding up to 16 still fits the 32-bit size fields.
constexpr std::uint64_t largestWriter = 0xFFFFFFF0u;

[[noreturn]] void endOfData() { throw invalidprotocol(L"Unexpected end of data when read from serializer."); }

[[noreturn]] void tooLarge(std::uint64_t size) {
    throw ArgumentException(formatString(L"Serializer data of %llu bytes exceeds the format's 4 GiB", size),
                            errorFrame(L"", "vserializer::writer::put"));
}

// The text of a string item's block.
std::wstring decodeString(const BYTE* bytes, std::uint32_t length) {
    if (length == 0) throw invalidprotocol(L"Unexpected end of data when read C-string from serializer.");
    const BYTE* text = bytes + 1;
    const std::uint32_t textBytes = length - 1;
    if (bytes[0] == charSizeAnsi) return wstr(std::string(reinterpret_cast<const char*>(text), textBytes));
    if (bytes[0] == charSizeWide) {
        std::wstring result(textBytes / sizeof(wchar_t), L'\0');
        std::memcpy(result.data(), text, result.size() * sizeof(wchar_t));  // the wire is not aligned
        return result;
    }
    throw invalidprotocol(L"Unsupported char size when read C-string from serializer.");
}

// Puts the reader's position back when an item could not be read whole.
class PositionGuard {
public:
    explicit PositionGuard(std::uint32_t& position) noexcept : position_(position), start_(position) {}
    PositionGuard(const PositionGuard&) = delete;
    PositionGuard& operator=(const PositionGuard&) = delete;
    ~PositionGuard() {
        if (!done_) position_ = start_;
    }
    void done() noexcept { done_ = true; }

private:
    std::uint32_t& position_;
    std::uint32_t start_;
    bool done_ = false;
};

}  // namespace

writer::writer(writer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

writer& writer::operator=(writer&& other) noexcept {
    if (this != &other) {
        std::free(data_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

writer::~writer() { std::free(data_); }

void writer::put(const void* bytes, std::uint32_t length) {
    if (length == 0) return;
    const std::uint64_t needed = std::uint64_t{size_} + length;
    if (needed > largestWriter) tooLarge(needed);
    if (needed > capacity_) {
        const auto grown = static_cast<std::uint32_t>((needed + 15) & ~std::uint64_t{15});
        void* block = std::realloc(data_, grown);
        if (!block) throwOutOfMemory();  // realloc keeps the old block: the bytes written stay valid
        data_ = static_cast<BYTE*>(block);
        capacity_ = grown;
    }
    std::memcpy(data_ + size_, bytes, length);
    size_ = static_cast<std::uint32_t>(needed);
}

void writer::writeString(const std::wstring& text) {
    const std::uint64_t length = std::uint64_t{text.size()} * sizeof(wchar_t) + 1;
    if (length > largestWriter) tooLarge(length);
    const auto blockLength = static_cast<std::uint32_t>(length);
    const BYTE charSize = charSizeWide;
    put(&blockLength, sizeof blockLength);
    put(&charSize, 1);
    put(text.data(), blockLength - 1);
}

void writer::writeBlock(std::uint32_t length, const void* bytes, bool raw) {
    if (!raw) put(&length, sizeof length);
    put(bytes, length);
}

void writer::writeInt32(std::uint32_t value) { writeBlock(sizeof value, &value, false); }

void writer::append(const writer& other) { put(other.data_, other.size_); }

reader::reader(Buffer owned, std::uint32_t size) noexcept : owned_(std::move(owned)), size_(size) {
    data_ = owned_.get();
}

void reader::read(std::uint32_t n, void* destination) {
    if (n > remaining()) endOfData();  // by subtraction: no sum can wrap
    if (n) std::memcpy(destination, data_ + position_, n);
    position_ += n;
}

const BYTE* reader::nextBlock(std::uint32_t& length) {
    // Nothing left at all (an empty reply) reads as no block.
    if (remaining() == 0) {
        length = 0;
        return nullptr;
    }
    read(sizeof length, &length);
    if (length == errorReport) throwErrorReport();
    if (length > remaining()) endOfData();
    const BYTE* bytes = length ? data_ + position_ : nullptr;
    position_ += length;
    return bytes;
}

void reader::throwErrorReport() {
    std::wstring message;
    try {
        std::uint32_t length = 0;
        read(sizeof length, &length);
        // A report inside a report would recurse once per four bytes of a hostile answer: it is as
        // unreadable as any other broken message.
        if (length == errorReport) throw vexception(L"nested error report");
        if (length > remaining()) endOfData();
        const BYTE* bytes = data_ + position_;
        position_ += length;
        message = decodeString(bytes, length);
    } catch (const vexception&) {
        throw invalidprotocol(L"Double exception on read from serializer");
    }
    throw vexception(message);
}

template <typename Decode>
auto reader::item(Decode&& decode) {
    PositionGuard guard(position_);
    std::uint32_t length = 0;
    const BYTE* bytes = nextBlock(length);
    auto value = decode(bytes, length);
    guard.done();
    return value;
}

Block reader::readBlock() {
    return item([](const BYTE* bytes, std::uint32_t length) {
        Block block;
        block.length = length;
        if (length) {
            block.data.reset(static_cast<BYTE*>(std::malloc(length)));
            if (!block.data) throwOutOfMemory();
            std::memcpy(block.data.get(), bytes, length);
        }
        return block;
    });
}

std::wstring reader::readString() { return item(decodeString); }

std::uint32_t reader::readInt32() {
    return item([](const BYTE* bytes, std::uint32_t length) {
        std::uint32_t value = 0;
        if (length != sizeof value) throw invalidprotocol(L"Unexpected size of integer when read from serializer.");
        std::memcpy(&value, bytes, sizeof value);
        return value;
    });
}

}  // namespace vserializer

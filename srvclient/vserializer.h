#pragma once
// The byte format of the management service's requests and answers. All integers are little-endian and
// nothing is padded or aligned:
//   sized block   u32 length L, then L bytes
//   raw block     the bytes alone
//   integer       a sized block of L = 4 holding the value
//   string        a sized block whose first byte is the char size: 2 = UTF-16LE code units follow
//                 ((L - 1) / 2 of them, an odd last byte ignored), 1 = text in the ANSI code page follows;
//                 no terminator. The writer always writes char size 2.
//   error report  u32 0xFFFFFFFF in place of a block's length, then a string holding the message.
// The reader checks every length against the bytes it holds before it allocates or copies anything, so
// that no length on the wire can make it read out of bounds.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "runtime/errors/vexception.h"  // vserializer::invalidprotocol

namespace vserializer {

// The block length that announces an error report.
constexpr std::uint32_t errorReport = 0xFFFFFFFFu;

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
using Buffer = std::unique_ptr<BYTE[], FreeDeleter>;

// A growable output buffer. It allocates only when written to, and grows to the next multiple of 16 bytes
// at or above what it needs; a failed growth throws the out-of-memory report and keeps the bytes written.
class writer {
public:
    writer() noexcept = default;
    writer(const writer&) = delete;
    writer& operator=(const writer&) = delete;
    writer(writer&& other) noexcept;
    writer& operator=(writer&& other) noexcept;
    ~writer();

    // u32 2N + 1, char size 2, the N UTF-16LE code units.
    void writeString(const std::wstring& text);
    // A sized block (length word then bytes), or with `raw` the bytes alone. A zero-length sized block
    // writes only its length word; a zero-length raw block writes nothing.
    void writeBlock(std::uint32_t length, const void* bytes, bool raw);
    // The integer item: a sized block of 4 bytes.
    void writeInt32(std::uint32_t value);
    void append(const writer& other);

    const BYTE* data() const noexcept { return data_; }
    std::uint32_t size() const noexcept { return size_; }
    std::uint32_t capacity() const noexcept { return capacity_; }

private:
    void put(const void* bytes, std::uint32_t length);
    BYTE* data_ = nullptr;
    std::uint32_t size_ = 0;
    std::uint32_t capacity_ = 0;
};

// A block read from the wire: no bytes for a zero-length block.
struct Block {
    Buffer data;
    std::uint32_t length = 0;
};

// A bounded input cursor. Every read past the end throws invalidprotocol and leaves the position where it
// was before that read.
class reader {
public:
    reader() noexcept = default;
    // Reads bytes the caller keeps alive.
    reader(const BYTE* data, std::uint32_t size) noexcept : data_(data), size_(size) {}
    // Reads (and frees) an allocation of malloc's.
    reader(Buffer owned, std::uint32_t size) noexcept;
    reader(reader&&) noexcept = default;
    reader& operator=(reader&&) noexcept = default;

    // Copies n bytes and advances: "Unexpected end of data when read from serializer." past the end.
    void read(std::uint32_t n, void* destination);
    // A sized block. An error report throws a vexception carrying the report's message (no frames); a report
    // whose message cannot be read, a nested report included, throws invalidprotocol "Double exception on
    // read from serializer". A zero-length block has no data; so has a reader at its end (an empty reply).
    Block readBlock();
    // A string item: "Unexpected end of data when read C-string from serializer." for a zero-length block,
    // "Unsupported char size when read C-string from serializer." for a char size other than 1 and 2.
    std::wstring readString();
    // An integer item; a block of another length is "Unexpected size of integer when read from serializer.".
    std::uint32_t readInt32();

    std::uint32_t position() const noexcept { return position_; }
    std::uint32_t size() const noexcept { return size_; }
    std::uint32_t remaining() const noexcept { return size_ - position_; }

private:
    // The next block's bytes in place (null for a zero-length block) after its length word.
    const BYTE* nextBlock(std::uint32_t& length);
    [[noreturn]] void throwErrorReport();
    // Reads one block and gives its bytes to `decode`; a failure leaves the position where it was.
    template <typename Decode>
    auto item(Decode&& decode);

    Buffer owned_;
    const BYTE* data_ = nullptr;
    std::uint32_t position_ = 0;
    std::uint32_t size_ = 0;
};

}  // namespace vserializer

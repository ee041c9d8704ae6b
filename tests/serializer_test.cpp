// The management service's wire format: what the writer makes, what the reader makes of any reply.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <typeinfo>

#include "srvclient/vserializer.h"
#include "fuzz/replyfuzz.h"
#include "tests/testutil.h"

namespace {

std::string bytesOf(const vserializer::writer& w) { return std::string(reinterpret_cast<const char*>(w.data()), w.size()); }

const std::string ab("\x05\0\0\0\x02" "a\0b\0", 9);

// Each row appends to the same writer: the bytes so far, and room for them in whole blocks of 16; then the
// reader takes the items back in turn.
TEST(Serializer, WritesItemsByteForByteIntoBlocksOf16AndReadsThemBack) {
    const std::uint32_t two = 2;
    const std::pair<std::function<void(vserializer::writer&)>, std::string> rows[] = {
        {[](auto& w) { w.writeString(L"ab"); }, ab},
        {[](auto& w) { w.writeString(L""); }, std::string("\x01\0\0\0\x02", 5)},
        {[](auto& w) { w.writeInt32(2); }, std::string("\x04\0\0\0\x02\0\0\0", 8)},
        {[&](auto& w) { w.writeBlock(4, &two, false); }, std::string("\x04\0\0\0\x02\0\0\0", 8)},
        {[](auto& w) { w.writeBlock(0, nullptr, false); }, std::string(4, '\0')},
        {[](auto& w) { w.writeBlock(0, nullptr, true); }, std::string()},
        {[](auto& w) { w.writeBlock(3, "xyz", false); }, std::string("\x03\0\0\0xyz", 7)},
        {[](auto& w) { w.writeBlock(3, "xyz", true); }, "xyz"},
    };
    vserializer::writer w;
    EXPECT_EQ(w.data(), nullptr);
    std::string expected;
    for (const auto& [write, bytes] : rows) {
        write(w);
        expected += bytes;
        EXPECT_EQ(bytesOf(w), expected);
        EXPECT_EQ(w.capacity(), (w.size() + 15) / 16 * 16);
    }
    vserializer::reader reader(w.data(), w.size());
    EXPECT_EQ(reader.readString(), L"ab");
    EXPECT_EQ(reader.readString(), L"");
    EXPECT_EQ(reader.readInt32(), 2u);
    EXPECT_EQ(reader.readInt32(), 2u);
    const vserializer::Block empty = reader.readBlock();
    EXPECT_EQ(empty.data, nullptr);
    EXPECT_EQ(empty.length, 0u);
    EXPECT_EQ(thrownVexception([&] { reader.readInt32(); }).message(),
              L"Unexpected size of integer when read from serializer.");
    const vserializer::Block block = reader.readBlock();  // the failed read took nothing
    ASSERT_EQ(block.length, 3u);
    EXPECT_EQ(std::memcmp(block.data.get(), "xyz", 3), 0);
    char raw[4] = {};
    reader.read(3, raw);
    EXPECT_STREQ(raw, "xyz");
    EXPECT_EQ(thrownVexception([&] { reader.read(1, raw); }).message(),
              L"Unexpected end of data when read from serializer.");
    EXPECT_EQ(reader.position(), w.size());

    vserializer::writer frame;
    frame.writeBlock(2, "->", true);
    frame.append(w);
    EXPECT_EQ(bytesOf(frame), "->" + expected);
}

// Every reader outcome: a value, an invalidprotocol text, or the service's own error report.
TEST(Serializer, ReaderValuesAndEveryErrorText) {
    const std::wstring endOfData = L"Unexpected end of data when read from serializer.";
    const std::wstring noString = L"Unexpected end of data when read C-string from serializer.";
    const std::wstring charSize = L"Unsupported char size when read C-string from serializer.";
    const std::wstring doubleReport = L"Double exception on read from serializer";
    const std::string report("\xFF\xFF\xFF\xFF", 4);
    struct Case {
        std::string bytes;
        std::wstring value;  // the string read, or the failure's text
        enum { Value, Protocol, Report } outcome;
    };
    const Case cases[] = {
        {ab, L"ab", Case::Value},
        {std::string("\x01\0\0\0\x01", 5), L"", Case::Value},
        {std::string("\x04\0\0\0\x01" "abc", 8), L"abc", Case::Value},
        {std::string("\x04\0\0\0\x02" "a\0b", 8), L"a", Case::Value},  // an odd last byte is ignored
        {std::string(4, '\0'), noString, Case::Protocol},
        {std::string(), noString, Case::Protocol},  // an empty reply
        {std::string("\x02\0\0\0\x03\0", 6), charSize, Case::Protocol},
        {std::string("\x05\0\0\0\x02" "a", 6), endOfData, Case::Protocol},
        {std::string("\x03\0", 2), endOfData, Case::Protocol},
        {std::string("\xFE\xFF\xFF\xFF\x02", 5), endOfData, Case::Protocol},  // no allocation for a hostile length
        {report + ab, L"ab", Case::Report},
        {report, doubleReport, Case::Protocol},
        {report + std::string(4, '\0'), doubleReport, Case::Protocol},
        {report + report + ab, doubleReport, Case::Protocol},
        {report + std::string("\x02\0\0\0\x07\0", 6), doubleReport, Case::Protocol},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.bytes));
        const auto size = static_cast<std::uint32_t>(c.bytes.size());
        vserializer::reader reader(reinterpret_cast<const BYTE*>(c.bytes.data()), size);
        try {
            const std::wstring text = reader.readString();
            EXPECT_EQ(c.outcome, Case::Value);
            EXPECT_EQ(text, c.value);
            EXPECT_EQ(reader.remaining(), 0u);
        } catch (const vserializer::invalidprotocol& e) {
            EXPECT_EQ(c.outcome, Case::Protocol);
            EXPECT_EQ(e.message(), c.value);
            if (c.bytes.substr(0, 4) != report) {
                EXPECT_EQ(reader.position(), 0u) << "a failed read consumes nothing";
            }
        } catch (const vexception& e) {
            EXPECT_EQ(c.outcome, Case::Report);
            EXPECT_EQ(typeid(e), typeid(vexception));
            EXPECT_EQ(e.message(), c.value);
            EXPECT_TRUE(e.frames().empty());
        }
    }
}

TEST(Serializer, RandomAndMutatedRepliesGiveOnlyDocumentedExceptions) {
    const std::uint32_t seed = ::testing::UnitTest::GetInstance()->random_seed() + ::GetTickCount();
    EXPECT_EQ(replyfuzz::runReader(seed, 20000).failure, "") << "seed " << seed;
}

}  // namespace

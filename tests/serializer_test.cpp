#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <typeinfo>

#include "srvclient/vserializer.h"
#include "fuzz/replyfuzz.h"

namespace {

std::string bytesOf(const vserializer::writer& w) { return std::string(reinterpret_cast<const char*>(w.data()), w.size()); }

vserializer::reader readerOf(const std::string& bytes) {
    return vserializer::reader(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<std::uint32_t>(bytes.size()));
}

const std::string ab("\x05\0\0\0\x02" "a\0b\0", 9);

TEST(Serializer, WritesItemsByteForByte) {
    struct Case {
        const char* name;
        std::function<void(vserializer::writer&)> write;
        std::string bytes;
    };
    const std::uint32_t two = 2;
    const Case cases[] = {
        {"string ab", [](auto& w) { w.writeString(L"ab"); }, ab},
        {"empty string", [](auto& w) { w.writeString(L""); }, std::string("\x01\0\0\0\x02", 5)},
        {"integer 2", [](auto& w) { w.writeInt32(2); }, std::string("\x04\0\0\0\x02\0\0\0", 8)},
        {"integer as sized block", [&](auto& w) { w.writeBlock(4, &two, false); }, std::string("\x04\0\0\0\x02\0\0\0", 8)},
        {"zero-length sized block", [](auto& w) { w.writeBlock(0, nullptr, false); }, std::string(4, '\0')},
        {"zero-length raw block", [](auto& w) { w.writeBlock(0, nullptr, true); }, std::string()},
        {"raw block", [](auto& w) { w.writeBlock(3, "xyz", true); }, "xyz"},
    };
    for (const Case& c : cases) {
        vserializer::writer w;
        c.write(w);
        EXPECT_EQ(bytesOf(w), c.bytes) << c.name;
    }
}

TEST(Serializer, WriterGrowsToTheNextMultipleOf16AndAppends) {
    vserializer::writer w;
    EXPECT_EQ(w.data(), nullptr);
    EXPECT_EQ(w.capacity(), 0u);
    w.writeString(L"ab");
    EXPECT_EQ(w.size(), 9u);
    EXPECT_EQ(w.capacity(), 16u);
    w.writeBlock(8, "12345678", true);
    EXPECT_EQ(w.size(), 17u);
    EXPECT_EQ(w.capacity(), 32u);

    vserializer::writer frame;
    frame.writeBlock(2, "->", true);
    frame.append(w);
    EXPECT_EQ(bytesOf(frame), "->" + ab + "12345678");
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
        vserializer::reader reader = readerOf(c.bytes);
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

TEST(Serializer, BlocksIntegersAndReadsPastTheEnd) {
    vserializer::writer w;
    w.writeString(L"package");
    w.writeInt32(2);
    w.writeBlock(0, nullptr, false);
    w.writeBlock(3, "xyz", false);
    vserializer::reader reader(w.data(), w.size());
    EXPECT_EQ(reader.readString(), L"package");
    EXPECT_EQ(reader.readInt32(), 2u);
    vserializer::Block empty = reader.readBlock();
    EXPECT_EQ(empty.data, nullptr);
    EXPECT_EQ(empty.length, 0u);
    try {
        reader.readInt32();
        ADD_FAILURE() << "a 3-byte block read as integer";
    } catch (const vserializer::invalidprotocol& e) {
        EXPECT_EQ(e.message(), L"Unexpected size of integer when read from serializer.");
    }
    vserializer::Block block = reader.readBlock();
    ASSERT_EQ(block.length, 3u);
    EXPECT_EQ(std::memcmp(block.data.get(), "xyz", 3), 0);
    char byte = 0;
    EXPECT_THROW(reader.read(1, &byte), vserializer::invalidprotocol);
    EXPECT_EQ(reader.position(), w.size());
}

TEST(Serializer, RandomAndMutatedRepliesGiveOnlyDocumentedExceptions) {
    const std::uint32_t seed = ::testing::UnitTest::GetInstance()->random_seed() + ::GetTickCount();
    EXPECT_EQ(replyfuzz::runReader(seed, 20000).failure, "") << "seed " << seed;
}

}  // namespace

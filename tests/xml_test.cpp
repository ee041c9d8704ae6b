#include <comdef.h>
#include <gtest/gtest.h>

#include <regex>

#include "msi/vxml.h"
#include "runtime/errors/vexception.h"
#include "tests/testutil.h"

// Values with quotes and markup survive writing and reading; the default stands in only for an absent attribute.
TEST(Xml, AttributesRoundTripEscapedAndTheDefaultOnlyStandsInForAnAbsentOne) {
    const XmlDocument document = vxmlLoadXML(L"<actionslist present=\"\"/>");
    const XmlElement root = documentElement(document.get());
    setAttribute(root.get(), L"uilevel", L"5\"/><injected a=\"");
    const XmlElement action = createElement(document.get(), L"action");
    setAttribute(action.get(), L"parameters", L"say \"hi\" & <bye>");
    appendChild(root.get(), action.get());
    const XmlDocument again = vxmlLoadXML(xml(document.get()));
    const XmlElement read = documentElement(again.get());
    EXPECT_EQ(getAttribute(read.get(), L"uilevel", L""), L"5\"/><injected a=\"");
    EXPECT_EQ(getAttribute(read.get(), L"present", L"default"), L"");
    EXPECT_EQ(getAttribute(read.get(), L"absent", L"default"), L"default");
    const XmlNodeList children = childNodes(read.get());
    EXPECT_EQ(length(children.get()), 1);
    EXPECT_EQ(getAttribute(asElement(item(children.get(), 0).get()).get(), L"parameters", L""), L"say \"hi\" & <bye>");
}

TEST(Xml, InvalidTextFailsWithTheParserReasonAndTheText) {
    // The parser's reason and line differ between systems: only the shape is fixed. (The quote of a broken
    // script is masked: the stage scripts' tests show it.)
    const vexception empty = thrownVexception([] { vxmlLoadXML(L""); });
    EXPECT_TRUE(std::regex_match(empty.message(), std::wregex(L".+ at load xml  in line -?\\d+"))) << empty.message();
    ASSERT_EQ(empty.frames().size(), 1u);
    EXPECT_EQ(empty.frames()[0].function, "vxmlLoadXML");
    EXPECT_EQ(empty.frames()[0].text, L"");
    const vexception unbalanced = thrownVexception([] { vxmlLoadXML(L"<a>\n<b></a>"); });
    EXPECT_TRUE(std::regex_match(unbalanced.message(), std::wregex(L".+ at load xml <a>\n<b></a> in line -?\\d+")))
        << unbalanced.message();
}

TEST(Xml, MissingObjectsAreRaisedAsComPointerErrors) {
    auto hresultOf = [](auto&& call) -> HRESULT {
        try {
            call();
        } catch (const _com_error& e) {
            return e.Error();
        }
        return S_OK;
    };
    EXPECT_EQ(hresultOf([] { getAttribute(nullptr, L"a", L""); }), E_POINTER);
    EXPECT_EQ(hresultOf([] { setAttribute(nullptr, L"a", L"b"); }), E_POINTER);
    EXPECT_EQ(hresultOf([] { documentElement(nullptr); }), E_POINTER);
    // A list has no node past its end.
    const XmlDocument document = vxmlLoadXML(L"<root><only/></root>");
    const XmlNodeList children = childNodes(documentElement(document.get()).get());
    EXPECT_EQ(length(children.get()), 1);
    EXPECT_EQ(hresultOf([&] { item(children.get(), 1); }), E_POINTER);
    // A failing DOM call keeps its own HRESULT.
    const XmlElement root = documentElement(document.get());
    const HRESULT documentInElement = hresultOf([&] { appendChild(root.get(), document.get()); });
    EXPECT_TRUE(FAILED(documentInElement)) << std::hex << documentInElement;
    EXPECT_NE(documentInElement, E_POINTER);
}

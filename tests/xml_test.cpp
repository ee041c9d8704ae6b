#include <gtest/gtest.h>

#include "msi/vxml.h"
#include "runtime/errors/vexception.h"
#include "tests/testutil.h"

TEST(Xml, AttributesReadDefaultsOnlyWhenAbsent) {
    const XmlDocument document = vxmlLoadXML(L"<root present=\"\" quoted=\"a&quot;b\"/>");
    const XmlElement root = documentElement(document.get());
    EXPECT_EQ(getAttribute(root.get(), L"present", L"default"), L"");
    EXPECT_EQ(getAttribute(root.get(), L"absent", L"default"), L"default");
    EXPECT_EQ(getAttribute(root.get(), L"quoted", L""), L"a\"b");
}

TEST(Xml, WrittenAttributesAreEscapedByTheDom) {
    const XmlDocument document = vxmlLoadXML(L"<actionslist/>");
    const XmlElement root = documentElement(document.get());
    setAttribute(root.get(), L"uilevel", L"5\"/><injected a=\"");
    const XmlElement action = createElement(document.get(), L"action");
    setAttribute(action.get(), L"parameters", L"say \"hi\" & <bye>");
    appendChild(root.get(), action.get());
    const std::wstring text = xml(document.get());
    EXPECT_TRUE(contains(text, L"&quot;hi&quot;")) << text;
    // Read back: one child, the values intact.
    const XmlDocument again = vxmlLoadXML(text);
    const XmlElement root2 = documentElement(again.get());
    EXPECT_EQ(getAttribute(root2.get(), L"uilevel", L""), L"5\"/><injected a=\"");
    EXPECT_EQ(length(childNodes(root2.get()).get()), 1);
    EXPECT_EQ(getAttribute(asElement(item(childNodes(root2.get()).get(), 0).get()).get(), L"parameters", L""),
              L"say \"hi\" & <bye>");
}

TEST(Xml, InvalidTextFailsWithTheParserReasonAndAMaskedQuote) {
    try {
        vxmlLoadXML(L"");
        ADD_FAILURE() << "empty text loaded";
    } catch (const vexception& e) {
        EXPECT_TRUE(contains(e.message(), L" at load xml  in line ")) << e.message();
        EXPECT_EQ(e.frames().at(0).function, "vxmlLoadXML");
    }
    try {
        vxmlLoadXML(L"<actionslist><action parameters=\"db -password=TopSecret1 x\"></actionslist>");
        ADD_FAILURE() << "broken text loaded";
    } catch (const vexception& e) {
        EXPECT_FALSE(contains(e.toString(), L"TopSecret1")) << e.toString();
        EXPECT_TRUE(contains(e.message(), L"-password=* x")) << e.message();
    }
}

// Event traces of the XML reader on short inputs.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "frw/yw_xml.h"

namespace {

struct Trace {
    std::vector<std::string> ev;
    int errorResult = 0;    // returned for xml_parse_error
    int stopAfter = -1;     // index of the event whose callback returns stopResult
    int stopResult = 0;
};

int traceCb(int kind, char *key, char *value, void *arg)
{
    auto *t = static_cast<Trace *>(arg);
    static const char *names[] = {"start", "end", "empty", "decl", "text", "attr", "comment", "error", "content"};
    std::string s = (kind >= 0 && kind <= 8) ? names[kind] : "?";
    s += ":";
    s += key ? key : "(null)";
    if (kind == xml_attribute)
        s += std::string("=") + (value ? value : "(null)");
    else if (value)
        s += "+value";
    t->ev.push_back(s);
    if ((int)t->ev.size() - 1 == t->stopAfter)
        return t->stopResult;
    return kind == xml_parse_error ? t->errorResult : 0;
}

// Parses `text` held in a buffer followed by a NUL, and checks that the
// reader left the bytes as they were.
std::vector<std::string> trace(const std::string &text, int *result = nullptr, Trace t = {})
{
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    int r = YW_xml_parse(buf.data(), buf.data() + text.size(), traceCb, &t);
    EXPECT_EQ(std::string(buf.data(), text.size()), text) << "buffer not restored";
    if (result)
        *result = r;
    return t.ev;
}

using V = std::vector<std::string>;

} // namespace

TEST(XmlReader, EmptyInputHasNoEvent)
{
    int r = -5;
    EXPECT_EQ(trace("", &r), V{});
    EXPECT_EQ(r, 0);
}

TEST(XmlReader, DeclarationWithAttributes)
{
    int r = -5;
    EXPECT_EQ(trace("<?xml version=\"1.0\" encoding='UTF-8'?>\n<a/>", &r),
              (V{"decl:xml", "attr:version=1.0", "attr:encoding=UTF-8", "text:\n", "empty:a"}));
    EXPECT_EQ(r, 0);
    // <!DOCTYPE ...> is a declaration too: it never opens an element.
    EXPECT_EQ(trace("<!DOCTYPE cfg SYSTEM \"x\"><a/>"), (V{"decl:DOCTYPE", "empty:a"}));
}

TEST(XmlReader, EmptyTagStartAndEndTags)
{
    EXPECT_EQ(trace("<taskDef name=\"tsm\" useFlag = \"1\"/>"),
              (V{"empty:taskDef", "attr:name=tsm", "attr:useFlag=1"}));
    EXPECT_EQ(trace("<a><b/></a>"), (V{"start:a", "empty:b", "end:a"}));
    EXPECT_EQ(trace("<fw>\n  <x k='v'>t</x>\n</fw>"),
              (V{"start:fw", "text:\n  ", "start:x", "attr:k=v", "text:t", "end:x", "text:\n", "end:fw"}));
    // Names end at whitespace, so "a\n" gives "a".
    EXPECT_EQ(trace("<a\nk=\"1\"></a >"), (V{"start:a", "attr:k=1", "end:a"}));
}

TEST(XmlReader, CdataIsOneTextEvent)
{
    EXPECT_EQ(trace("<a><![CDATA[x<y>&z]]></a>"), (V{"start:a", "text:x<y>&z", "end:a"}));
    EXPECT_EQ(trace("<![cdata[ ]] ]]>"), (V{"text: ]] "}));
    int r = 0;
    Trace t;
    t.errorResult = -7;
    EXPECT_EQ(trace("<a><![CDATA[never closed]]", &r, t), (V{"start:a", "error:unexpected end of file 1"}));
    EXPECT_EQ(r, -7);
}

TEST(XmlReader, AttributeWithoutEqualsIsTagContent)
{
    EXPECT_EQ(trace("<a x=\"1\" flag more>"), (V{"start:a", "attr:x=1", "content:flag more"}));
}

TEST(XmlReader, CutOffTagReportsEndOfFile)
{
    int r = 0;
    Trace t;
    t.errorResult = -3;
    EXPECT_EQ(trace("<a><b x=\"1\"", &r, t), (V{"start:a", "error:unexpected end of file 2"}));
    EXPECT_EQ(r, -3);
    EXPECT_EQ(trace("<", &r, t), (V{"error:unexpected end of file 2"}));
    EXPECT_EQ(r, -3);
}

TEST(XmlReader, CommentIsSkippedAsAWhole)
{
    EXPECT_EQ(trace("<a><!-- x > y <b name=\"z\"/> --><c/></a>"),
              (V{"start:a", "comment: x > y <b name=\"z\"/> ", "empty:c", "end:a"}));
    EXPECT_EQ(trace("<!----><a/>"), (V{"comment:", "empty:a"}));
    int r = 0;
    Trace t;
    t.errorResult = -2;
    EXPECT_EQ(trace("<a/><!-- <b> never closed", &r, t), (V{"empty:a", "error:unterminated comment"}));
    EXPECT_EQ(r, -2);
}

TEST(XmlReader, TextAfterLastTag)
{
    EXPECT_EQ(trace("<a/>tail"), (V{"empty:a", "text:tail"}));
    EXPECT_EQ(trace("only text"), (V{"text:only text"}));
}

TEST(XmlReader, MalformedAttributes)
{
    int r = -5;
    // Reported; a callback that returns 0 lets the parse go on.
    EXPECT_EQ(trace("<a x=\"1><b/>", &r), (V{"start:a", "error:missing end quote on attribute", "empty:b"}));
    EXPECT_EQ(r, 0);
    EXPECT_EQ(trace("<a x=1 y=\"2\">"), (V{"start:a", "error:unquoted attribute value"}));
    EXPECT_EQ(trace("<a x=>"), (V{"start:a", "error:unquoted attribute value"}));
    EXPECT_EQ(trace("<a =\"1\">"), (V{"start:a", "error:missing attribute name"}));
    // A callback that asks to stop on the error ends the parse with its result.
    Trace t;
    t.errorResult = -1;
    EXPECT_EQ(trace("<a x=\"1><b/>", &r, t), (V{"start:a", "error:missing end quote on attribute"}));
    EXPECT_EQ(r, -1);
}

TEST(XmlReader, QuotedGreaterThanStaysInValue)
{
    EXPECT_EQ(trace("<a x=\"1>2\" y='\"3\"'/>"), (V{"empty:a", "attr:x=1>2", "attr:y=\"3\""}));
}

TEST(XmlReader, CallbackResultStopsTheParse)
{
    int r = 0;
    Trace t;
    t.stopAfter = 1;
    t.stopResult = 42;
    EXPECT_EQ(trace("<a k=\"1\" j=\"2\"><b/></a>", &r, t), (V{"start:a", "attr:k=1"}));
    EXPECT_EQ(r, 42);
    t.stopAfter = 0;
    EXPECT_EQ(trace("text<a/>", &r, t), (V{"text:text"}));
    EXPECT_EQ(r, 42);
}

TEST(XmlReader, NeverReadsPastTheEnd)
{
    // Exact-size heap buffers (no terminator): the address sanitizer build
    // catches any access beyond them.
    for (const char *s : {"<a k=\"v\"/>", "<!-- c -->", "<![CDATA[x]]>", "<a k=\"v", "<!-- c -", "<![CDATA[x]", "<a"}) {
        size_t n = std::strlen(s);
        std::unique_ptr<char[]> buf(new char[n]);
        std::memcpy(buf.get(), s, n);
        Trace t;
        YW_xml_parse(buf.get(), buf.get() + n, traceCb, &t);
        EXPECT_FALSE(t.ev.empty()) << s;
        EXPECT_EQ(std::string(buf.get(), n), s);
    }
    // A parse of a prefix does not see what lies after `end`.
    std::string text = "<a k='1'/><b>";
    std::vector<char> buf(text.begin(), text.end());
    Trace t;
    YW_xml_parse(buf.data(), buf.data() + 7, traceCb, &t);
    EXPECT_EQ(t.ev, (V{"error:unexpected end of file 2"}));
}

TEST(XmlReader, CharacterHelpers)
{
    for (char c : std::string(" \t\n\r\f\v"))
        EXPECT_EQ(YW_is_space(c), 1);
    EXPECT_EQ(YW_is_space('\0'), 1);
    EXPECT_EQ(YW_is_space('a'), 0);
    EXPECT_EQ(YW_to_lower('Q'), 'q');
    EXPECT_EQ(YW_to_lower('['), '[');
    EXPECT_EQ(YW_string_begins_no_case("![cdata[", "![CDATA[x"), 1);
    EXPECT_EQ(YW_string_begins_no_case("", "x"), 1);
    EXPECT_EQ(YW_string_begins_no_case("abc", "ab"), 0);
}

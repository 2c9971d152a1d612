// In-place XML tokenizer used by the configuration loader.
//
// Every scan is bounded by the end of the input (or of the attribute region
// of the current tag); nothing is read or written outside [p, end).

#include "frw/yw_xml.h"

#include <cstddef>
#include <cstring>

namespace {

// Terminates a string in place for the duration of one callback and puts the
// original byte back afterwards.
class TempNul {
public:
    explicit TempNul(char *at) : at_(at), saved_(at ? *at : 0)
    {
        if (at_)
            *at_ = '\0';
    }
    ~TempNul()
    {
        if (at_)
            *at_ = saved_;
    }
    TempNul(const TempNul &) = delete;
    TempNul &operator=(const TempNul &) = delete;

private:
    char *at_;
    char saved_;
};

bool isSpace(char c)
{
    return YW_is_space(static_cast<unsigned char>(c)) != 0;
}

// Case-insensitive prefix test of [s, end) against a NUL-terminated prefix.
bool beginsNoCase(const char *s, const char *end, const char *prefix)
{
    for (; *prefix; ++prefix, ++s) {
        if (s >= end)
            return false;
        if (YW_to_lower(static_cast<unsigned char>(*s)) != YW_to_lower(static_cast<unsigned char>(*prefix)))
            return false;
    }
    return true;
}

// First occurrence of the 3-byte pattern in [s, end), or null.
char *find3(char *s, char *end, const char *pat)
{
    for (; end - s >= 3; ++s) {
        if (s[0] == pat[0] && s[1] == pat[1] && s[2] == pat[2])
            return s;
    }
    return nullptr;
}

// A section running from `body` to the 3-byte `closer` (CDATA body, comment)
// is one event of `kind`, markup inside it untouched; *next is set after the
// closer. Not closed before `end`: the `eofMsg` error event and *next null.
int sectionEvent(char *body, char *end, const char *closer, int kind, const char *eofMsg, YW_xml_cb_t cb,
                 void *arg, char **next)
{
    char *close = find3(body, end, closer);
    if (!close) {
        *next = nullptr;
        return cb(xml_parse_error, const_cast<char *>(eofMsg), nullptr, arg);
    }
    *next = close + 3;
    TempNul t(close);
    return cb(kind, body, nullptr, arg);
}

// The '>' that ends a tag whose name starts at s. A '>' inside a quoted
// attribute value does not end the tag; a quote that is still open at a '<'
// or at the end of input is broken markup, and then the first '>' ends the
// tag so that the attribute scan reports the missing quote.
char *findTagEnd(char *s, char *end)
{
    char quote = 0;
    bool afterEq = false;
    for (char *q = s; q < end; ++q) {
        char c = *q;
        if (quote) {
            if (c == quote)
                quote = 0;
            else if (c == '<')
                break;
            continue;
        }
        if (c == '>')
            return q;
        if (c == '<')
            break;
        if (afterEq && (c == '"' || c == '\'')) {
            quote = c;
            afterEq = false;
            continue;
        }
        if (c == '=')
            afterEq = true;
        else if (!isSpace(c))
            afterEq = false;
    }
    for (char *q = s; q < end; ++q) {
        if (*q == '>')
            return q;
    }
    return nullptr;
}

// Reports the attributes in the region [a, r) of one tag. Returns the first
// non-zero callback result, else 0.
int scanAttributes(char *a, char *r, YW_xml_cb_t cb, void *arg)
{
    for (;;) {
        while (a < r && isSpace(*a))
            ++a;
        if (a >= r)
            return 0;

        char *name = a;
        while (a < r && *a != '=' && !isSpace(*a))
            ++a;
        char *nameEnd = a;
        char *b = a;
        while (b < r && isSpace(*b))
            ++b;
        if (b >= r || *b != '=') {
            // No name="value" pair: hand over the rest of the tag as one piece.
            TempNul t(r);
            return cb(xml_tag_content, name, nullptr, arg);
        }
        if (nameEnd == name)
            return cb(xml_parse_error, const_cast<char *>(YW_XML_ERR_NO_NAME), nullptr, arg);
        ++b;
        while (b < r && isSpace(*b))
            ++b;
        if (b >= r || (*b != '"' && *b != '\''))
            return cb(xml_parse_error, const_cast<char *>(YW_XML_ERR_UNQUOTED), nullptr, arg);
        char quote = *b;
        char *value = b + 1;
        char *valueEnd = value;
        while (valueEnd < r && *valueEnd != quote)
            ++valueEnd;
        if (valueEnd >= r)
            return cb(xml_parse_error, const_cast<char *>(YW_XML_ERR_END_QUOTE), nullptr, arg);

        int res;
        {
            TempNul tn(nameEnd);
            TempNul tv(valueEnd);
            res = cb(xml_attribute, name, value, arg);
        }
        if (res != 0)
            return res;
        a = valueEnd + 1;
    }
}

} // namespace

extern "C" int YW_is_space(int ch)
{
    switch (ch) {
    case ' ':
    case '\t':
    case '\n':
    case '\r':
    case '\f':
    case '\v':
    case '\0':
        return 1;
    default:
        return 0;
    }
}

extern "C" int YW_to_lower(int ch)
{
    return (ch >= 'A' && ch <= 'Z') ? ch - 'A' + 'a' : ch;
}

extern "C" int YW_string_begins_no_case(const char *prefix, const char *s)
{
    if (!prefix)
        return 1;
    if (!s)
        return *prefix == '\0';
    for (; *prefix; ++prefix, ++s) {
        if (*s == '\0' || YW_to_lower(static_cast<unsigned char>(*s)) != YW_to_lower(static_cast<unsigned char>(*prefix)))
            return 0;
    }
    return 1;
}

extern "C" int YW_xml_parse(char *p, char *end, YW_xml_cb_t cb, void *arg)
{
    if (!p || !end || !cb || end < p)
        return 0;

    int result = 0;
    while (p < end) {
        // Text up to the next '<'.
        char *text = p;
        while (p < end && *p != '<')
            ++p;
        if (p > text) {
            if (p < end) {
                TempNul t(p);
                result = cb(xml_string, text, nullptr, arg);
            } else {
                // Terminated by the caller's byte at `end`.
                result = cb(xml_string, text, nullptr, arg);
            }
            if (result != 0)
                return result;
        }
        if (p >= end)
            return result;

        char *lt = p;
        char *s = lt + 1;

        // CDATA section: one text event with the body, markup inside untouched.
        if (end - s >= 9 && beginsNoCase(s, end, "![CDATA[")) {
            result = sectionEvent(s + 8, end, "]]>", xml_string, YW_XML_ERR_EOF_CDATA, cb, arg, &p);
            if (result != 0 || !p)
                return result;
            continue;
        }

        // Comment: skipped as a whole up to "-->", whatever it contains.
        if (end - s >= 3 && s[0] == '!' && s[1] == '-' && s[2] == '-') {
            result = sectionEvent(s + 3, end, "-->", xml_comment, YW_XML_ERR_EOF_COMMENT, cb, arg, &p);
            if (result != 0 || !p)
                return result;
            continue;
        }

        char *gt = findTagEnd(s, end);
        if (!gt)
            return cb(xml_parse_error, const_cast<char *>(YW_XML_ERR_EOF_TAG), nullptr, arg);

        int kind;
        char *name = s;
        char *region = gt; // end of the attribute region
        bool scan = true;
        if (s < gt && *s == '/') {
            kind = xml_end_tag;
            name = s + 1;
        } else if (s < gt && (*s == '?' || *s == '!')) {
            // Processing instruction / declaration (<?xml ...?>, <!DOCTYPE ...>):
            // never opens an element.
            kind = xml_declaration_tag;
            name = s + 1;
            if (*s == '?') {
                if (gt - 1 >= name && gt[-1] == '?')
                    region = gt - 1;
            } else {
                scan = false;
            }
        } else if (gt - 1 >= s && gt[-1] == '/') {
            kind = xml_empty_tag;
            region = gt - 1;
        } else {
            kind = xml_start_tag;
        }

        char *nameEnd = name;
        while (nameEnd < region && !isSpace(*nameEnd))
            ++nameEnd;

        {
            TempNul t(nameEnd);
            result = cb(kind, name, nullptr, arg);
        }
        if (result != 0)
            return result;

        if (scan) {
            result = scanAttributes(nameEnd, region, cb, arg);
            if (result != 0)
                return result;
        }
        p = gt + 1;
    }
    return result;
}

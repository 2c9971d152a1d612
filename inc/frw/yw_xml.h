/*
 * Small event-driven XML tokenizer working in place on a character buffer.
 *
 * For every piece of markup the reader calls one callback with an event kind
 * and pointers into the buffer. Names, texts and values are NUL-terminated in
 * place for the duration of the call; the replaced bytes are put back right
 * after it. Nothing is validated beyond what tokenizing needs: entities are
 * not expanded, end tags are not matched (the configuration tree does that).
 */
#ifndef YW_XML_H
#define YW_XML_H

#ifdef __cplusplus
extern "C" {
#endif

/* Event kinds handed to the callback. */
enum {
    xml_start_tag = 0,       /* key: tag name */
    xml_end_tag = 1,         /* key: tag name (without '/') */
    xml_empty_tag = 2,       /* key: tag name of <name .../> */
    xml_declaration_tag = 3, /* key: name after "<?" (or after "<!" for <!DOCTYPE ...>) */
    xml_string = 4,          /* key: text run or CDATA body */
    xml_attribute = 5,       /* key: attribute name, value: attribute value */
    xml_comment = 6,         /* key: comment body between "<!--" and "-->" */
    xml_parse_error = 7,     /* key: message */
    xml_tag_content = 8      /* key: rest of a tag that holds no name="value" pair */
};

/* Messages of xml_parse_error. */
#define YW_XML_ERR_EOF_CDATA "unexpected end of file 1"
#define YW_XML_ERR_EOF_TAG "unexpected end of file 2"
#define YW_XML_ERR_END_QUOTE "missing end quote on attribute"
#define YW_XML_ERR_UNQUOTED "unquoted attribute value"
#define YW_XML_ERR_NO_NAME "missing attribute name"
#define YW_XML_ERR_EOF_COMMENT "unterminated comment"

/*
 * Callback: (event kind, key, value, user pointer) -> 0 to go on, non-zero to
 * stop. `value` is set for xml_attribute only, null otherwise.
 */
typedef int (*YW_xml_cb_t)(int kind, char *key, char *value, void *arg);

/*
 * Tokenizes the bytes [p, end) and calls cb for each event in document order.
 * The reader never reads or writes outside [p, end). Text after the last tag
 * is handed over terminated by the byte at `end`, so a caller that wants that
 * text must place a NUL there (the configuration loader does).
 * Returns 0 when the whole input was consumed and the last callback returned
 * 0; otherwise the first non-zero callback result (the parse stops there).
 */
int YW_xml_parse(char *p, char *end, YW_xml_cb_t cb, void *arg);

/* 1 for space, tab, line feed, carriage return, form feed, vertical tab, NUL. */
int YW_is_space(int ch);

/* 'A'..'Z' to 'a'..'z'; anything else unchanged. */
int YW_to_lower(int ch);

/* 1 when s begins with prefix ignoring ASCII case (an empty prefix matches). */
int YW_string_begins_no_case(const char *prefix, const char *s);

#ifdef __cplusplus
}
#endif

#endif /* YW_XML_H */

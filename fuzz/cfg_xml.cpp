// Fuzz target: the XML reader and the configuration tree built from its events.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "frw/yw_frw_cfg.h"
#include "frw/yw_xml.h"

namespace {

struct Bounds {
    const char *begin;
    const char *end; // the terminator after the input
};

// Every string handed to the callback is terminated inside the input (or is
// one of the reader's own messages).
int checkEvent(int kind, char *key, char *value, void *arg)
{
    auto *b = static_cast<Bounds *>(arg);
    for (const char *s : {key, value}) {
        if (!s)
            continue;
        if (kind == xml_parse_error && s == key)
            continue;
        if (s < b->begin || s > b->end)
            std::abort();
        if (!std::memchr(s, '\0', (size_t)(b->end - s) + 1))
            std::abort();
    }
    if (kind < xml_start_tag || kind > xml_tag_content)
        std::abort();
    if (kind == xml_attribute && !value)
        std::abort();
    return 0;
}

// Depth-first walk over the whole tree, checking the parent links.
size_t walk(YW_frw_cfg_element_t *e, int depth)
{
    if (depth > YW_FRW_CFG_DEPTH_MAX + 1)
        std::abort();
    size_t n = 1;
    for (auto *a = YW_frw_nextCfgAttr(e, nullptr); a; a = YW_frw_nextCfgAttr(e, a)) {
        if (a->parent != e || !a->kv.key || !a->kv.value)
            std::abort();
        ++n;
    }
    for (auto *c = YW_frw_nextCfgElement(e, nullptr); c; c = YW_frw_nextCfgElement(e, c)) {
        if (c->parent != e)
            std::abort();
        n += walk(c, depth + 1);
    }
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > (1u << 20))
        return 0;
    // Exactly the input and its terminator: the sanitizers see any stray access.
    std::vector<char> buf(data, data + size);
    buf.push_back('\0');

    Bounds b{buf.data(), buf.data() + size};
    YW_xml_parse(buf.data(), buf.data() + size, checkEvent, &b);
    if ((size && std::memcmp(buf.data(), data, size) != 0) || buf[size] != '\0')
        std::abort(); // every byte put back

    YW_frw_cfg_set_t set{};
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    YW_ret_t r = YW_frw_cfg_loadText(text.data(), (YW_size_t)size, &set);
    walk(&set.root, 0);
    if (r == 0 && set.base && set.base->parent == nullptr)
        std::abort();
    if (set.bufferCur - set.buffer > set.bufferSize)
        std::abort();
    YW_frw_cfg_unload(&set);
    return 0;
}

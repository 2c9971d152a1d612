// Configuration tree: builds a tree of elements and attributes from the
// events of the XML reader, keeps every name and value in one string arena,
// and offers the lookups and the attribute walk of the service loaders.

#include "frw/yw_frw_cfg.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <fcntl.h>
#include <sys/stat.h>

#include "frw/yw_frw.h"
#include "frw/yw_xml.h"
#include "osa/yw_osa.h"

YW_frw_cfg_set_t YW_g_frw_sys_cfg_set;
YW_frw_cfg_set_t YW_g_frw_app_cfg_set;

#define CFG_PRINT(fmt, ...) std::printf("%s:%d " fmt, __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

namespace {

char s_root[] = YW_FRW_CFG_ROOT_KEY;
char s_normal[] = YW_FRW_CFG_VALUE_NORMAL;
char s_leaf[] = YW_FRW_CFG_VALUE_LEAF;
char s_stringBuf[YW_FRW_CFG_STRING_BUF_SIZE];

// What the builder does with an attribute event.
enum AttrMode : YW_int32_t {
    ATTR_REFUSE = 0, // not after a start tag: malformed input
    ATTR_ACCEPT = 1, // belongs to attrOwner
    ATTR_DROP = 2    // belongs to a dropped element or to a declaration
};

YW_frw_cfg_element_t *asElement(YW_kv_t *kv)
{
    // kv is the first member of an element: both share one address.
    return reinterpret_cast<YW_frw_cfg_element_t *>(kv);
}

bool isLeaf(const YW_frw_cfg_element_t *e)
{
    return e->kv.value && std::strcmp(e->kv.value, YW_FRW_CFG_VALUE_LEAF) == 0;
}

bool inText(const YW_frw_cfg_set_t *s, const char *p)
{
    auto a = reinterpret_cast<uintptr_t>(s->text), e = reinterpret_cast<uintptr_t>(s->textEnd);
    auto x = reinterpret_cast<uintptr_t>(p);
    return s->text && x >= a && x <= e;
}

// Line of the latest event, counted in the file content. Counting resumes
// where the previous call ended, so a file with many reported items is not
// scanned from its start for each of them.
int lineOf(YW_frw_cfg_set_t *s)
{
    if (!s->text || !s->lastPos)
        return 0;
    if (!s->lineMark || s->lineMark > s->lastPos) {
        s->lineMark = s->text;
        s->lineNo = 1;
    }
    int n = s->lineNo;
    for (const char *p = s->lineMark; p < s->lastPos; ++p) {
        if (*p == '\n')
            ++n;
    }
    s->lineMark = s->lastPos;
    s->lineNo = n;
    return n;
}

YW_size_t arenaFree(const YW_frw_cfg_set_t *s)
{
    return s->bufferSize - (s->bufferCur - s->buffer);
}

char *arenaCopy(YW_frw_cfg_set_t *s, const char *str, size_t len)
{
    char *d = s->bufferCur;
    std::memcpy(d, str, len);
    d[len] = '\0';
    s->bufferCur += len + 1;
    return d;
}

int buildFail(YW_frw_cfg_set_t *s)
{
    s->errors++;
    return -1;
}

void reportOverrun(YW_frw_cfg_set_t *s, const char *name)
{
    CFG_PRINT("xml kv buffer ovverrun: sz=%d\n", (int)s->bufferSize);
    CFG_PRINT("element <%.64s> dropped with its subtree (line %d)\n", name, lineOf(s));
}

// An empty tag stays current only for the attributes that follow it; any
// other event closes it first.
void closeLeaf(YW_frw_cfg_set_t *s)
{
    if (s->cur && s->cur != &s->root && isLeaf(s->cur)) {
        s->cur = s->cur->parent;
        s->parent = s->cur ? s->cur->parent : nullptr;
        s->depth--;
    }
}

int onOpen(YW_frw_cfg_set_t *s, const char *key, bool leaf)
{
    closeLeaf(s);
    if (s->skipDepth > 0) {
        if (!leaf)
            s->skipDepth++;
        s->attrMode = ATTR_DROP;
        return 0;
    }
    if (key[0] == '\0') {
        CFG_PRINT("element without a name (line %d)\n", lineOf(s));
        return buildFail(s);
    }
    if (s->depth >= YW_FRW_CFG_DEPTH_MAX) {
        CFG_PRINT("element <%.64s> nests deeper than %d levels (line %d)\n", key, YW_FRW_CFG_DEPTH_MAX, lineOf(s));
        return buildFail(s);
    }
    size_t len = std::strlen(key);
    if ((YW_size_t)len + 1 > arenaFree(s)) {
        reportOverrun(s, key);
        if (!leaf)
            s->skipDepth = 1;
        s->attrMode = ATTR_DROP;
        return 0;
    }
    char *name = arenaCopy(s, key, len);
    YW_frw_cfg_element_t *e = YW_frw_createCfgElement(nullptr, name, leaf ? s_leaf : s_normal);
    if (!e) {
        s->bufferCur = name;
        CFG_PRINT("no memory for element <%.64s> (line %d)\n", key, lineOf(s));
        return buildFail(s);
    }
    YW_frw_addCfgElement(s->cur, e);
    s->parent = s->cur;
    s->cur = e;
    s->depth++;
    s->attrOwner = e;
    s->attrMode = ATTR_ACCEPT;
    return 0;
}

int onClose(YW_frw_cfg_set_t *s, const char *key)
{
    closeLeaf(s);
    if (s->skipDepth > 0) {
        s->skipDepth--;
        s->attrMode = ATTR_DROP;
        return 0;
    }
    s->attrMode = ATTR_REFUSE;
    s->attrOwner = nullptr;
    if (s->cur == &s->root) {
        CFG_PRINT("end tag </%.64s> without a start tag (line %d)\n", key, lineOf(s));
        return buildFail(s);
    }
    if (std::strcmp(s->cur->kv.key, key) != 0) {
        CFG_PRINT("end tag </%.64s> does not match <%.64s> (line %d)\n", key, s->cur->kv.key, lineOf(s));
        return buildFail(s);
    }
    s->cur = s->cur->parent;
    s->parent = s->cur ? s->cur->parent : nullptr;
    s->depth--;
    return 0;
}

// Drops the element that the attributes being read belong to, so that no
// attribute of it is lost silently or lands on another element.
void dropAttrOwner(YW_frw_cfg_set_t *s)
{
    YW_frw_cfg_element_t *e = s->attrOwner;
    reportOverrun(s, e->kv.key);
    YW_frw_cfg_element_t *up = e->parent;
    char *rollback = e->kv.key; // its own strings are the last ones in the arena
    bool leaf = isLeaf(e);
    YW_frw_cfg_releaseCfgElement(e);
    YW_frw_delCfgElement(up, e);
    YW_frw_releaseCfgElement(e);
    s->bufferCur = rollback;
    s->cur = up;
    s->parent = up ? up->parent : nullptr;
    s->depth--;
    if (!leaf)
        s->skipDepth = 1;
    s->attrOwner = nullptr;
    s->attrMode = ATTR_DROP;
}

int onAttribute(YW_frw_cfg_set_t *s, const char *key, const char *val)
{
    if (s->attrMode == ATTR_DROP)
        return 0;
    if (s->attrMode != ATTR_ACCEPT || !s->attrOwner || s->attrOwner != s->cur) {
        CFG_PRINT("attribute %.64s outside a start tag (line %d)\n", key, lineOf(s));
        return buildFail(s);
    }
    size_t lk = std::strlen(key), lv = val ? std::strlen(val) : 0;
    if ((YW_size_t)(lk + lv + 2) > arenaFree(s)) {
        dropAttrOwner(s);
        return 0;
    }
    char *k = arenaCopy(s, key, lk);
    char *v = arenaCopy(s, val ? val : "", lv);
    YW_frw_cfg_element_t *a = YW_frw_createCfgElement(nullptr, k, v);
    if (!a) {
        s->bufferCur = k;
        CFG_PRINT("no memory for attribute %.64s (line %d)\n", key, lineOf(s));
        return buildFail(s);
    }
    YW_frw_addCfgAttr(s->attrOwner, a);
    return 0;
}

void resetSet(YW_frw_cfg_set_t *s)
{
    if (s->buffer) // loaded before: release the old tree and arena
        YW_frw_cfg_unload(s);
    YW_frw_createCfgElement(&s->root, s_root, s_normal);
    s->base = nullptr;
    s->cur = &s->root;
    s->parent = nullptr;
    s->buffer = nullptr;
    s->bufferCur = nullptr;
    s->bufferSize = CONFIG_XML_KV_BUFFER_SIZE;
    s->text = s->textEnd = s->lastPos = s->lineMark = nullptr;
    s->lineNo = 0;
    s->attrOwner = nullptr;
    s->attrMode = ATTR_REFUSE;
    s->depth = 0;
    s->skipDepth = 0;
    s->errors = 0;
}

// Parses text[0..size) (text[size] must be writable) into a reset set.
YW_ret_t parseInto(YW_frw_cfg_set_t *s, char *text, YW_size_t size)
{
    s->buffer = static_cast<char *>(YW_malloc(CONFIG_XML_KV_BUFFER_SIZE));
    if (!s->buffer) {
        CFG_PRINT("no memory for the string arena\n");
        return YW_FAIL;
    }
    s->bufferCur = s->buffer;
    s->bufferSize = CONFIG_XML_KV_BUFFER_SIZE;
    text[size] = '\0';
    s->text = text;
    s->textEnd = text + size;
    s->lastPos = text;
    s->lineMark = nullptr;

    int r = YW_xml_parse(text, text + size, YW_frw_cfg_proc, s);
    if (r == 0) {
        closeLeaf(s);
        if (s->skipDepth > 0 || s->cur != &s->root) {
            const char *open = s->skipDepth > 0 || !s->cur ? "(dropped)" : s->cur->kv.key;
            CFG_PRINT("element <%.64s> is not closed at the end of the file\n", open);
            r = buildFail(s);
        }
    }
    if (r == 0 && s->errors)
        r = YW_FAIL;
    if (r != 0)
        r = YW_FAIL;
    s->text = s->textEnd = s->lastPos = s->lineMark = nullptr;
    s->attrOwner = nullptr;
    if (r == 0)
        YW_frw_cfg_setBase(s);
    return (YW_ret_t)r;
}

struct FileCloser {
    YW_P_file_t fd;
    ~FileCloser()
    {
        YW_P_noCancel hold; // close is a cancellation point
        if (fd >= 0)
            YW_P_closeFile(fd);
    }
};

struct YwFree {
    void operator()(char *p) const { YW_free(p); }
};

// Bounded appender of the text dumps.
struct Writer {
    char *bp;
    YW_size_t blen;
    YW_size_t pos;

    bool full() const { return pos >= blen - 1; }

    void put(const char *fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        if (full())
            return;
        va_list ap;
        va_start(ap, fmt);
        int n = std::vsnprintf(bp + pos, (size_t)(blen - pos), fmt, ap);
        va_end(ap);
        if (n < 0)
            return;
        pos += (n < blen - pos) ? n : blen - pos - 1;
    }

    void putKv(const YW_kv_t *kv)
    {
        if (full())
            return;
        pos += YW_kv_toString(kv, bp + pos, blen - pos);
        if (pos > blen - 1)
            pos = blen - 1;
    }
};

void makeIndent(char (&indent)[64], int depth)
{
    int n = depth < 0 ? 0 : (depth > 63 ? 63 : depth);
    std::memset(indent, ' ', (size_t)n);
    indent[n] = '\0';
}

void kvLine(Writer &w, YW_frw_cfg_element_t *p, int depth)
{
    char indent[64];
    makeIndent(indent, depth);
    if (depth == 0)
        w.put("\n[%d]kv: ", depth);
    else
        w.put("\n%s[%d]kv: ", indent, depth);
    w.putKv(&p->kv);
}

void dumpElement(Writer &w, YW_frw_cfg_element_t *p, int depth)
{
    kvLine(w, p, depth);
    char indent[64];
    makeIndent(indent, depth);
    YW_size_t na = YW_listHead_count(&p->attrList);
    if (na > 0) {
        if (depth == 0)
            w.put("\n[%d]attr %d: ", depth, (int)na);
        else
            w.put("\n%s[%d]attr %d: ", indent, depth, (int)na);
        for (auto *a = YW_frw_nextCfgAttr(p, nullptr); a && !w.full(); a = YW_frw_nextCfgAttr(p, a))
            dumpElement(w, a, depth + 1);
    }
    YW_size_t nc = YW_listHead_count(&p->childList);
    if (nc > 0) {
        if (depth == 0)
            w.put("\n[%d]child %d: ", depth, (int)nc);
        else
            w.put("\n%s[%d]child %d: ", indent, depth, (int)nc);
        for (auto *c = YW_frw_nextCfgElement(p, nullptr); c && !w.full(); c = YW_frw_nextCfgElement(p, c))
            dumpElement(w, c, depth + 1);
    }
}

} // namespace

// ---- element operations ----------------------------------------------------

extern "C" YW_frw_cfg_element_t *YW_frw_createCfgElement(YW_frw_cfg_element_t *incfge, YW_string_t key,
                                                         YW_string_t value)
{
    YW_frw_cfg_element_t *e = incfge;
    if (e) {
        e->refCount = -1;
    } else {
        e = static_cast<YW_frw_cfg_element_t *>(YW_malloc(sizeof(YW_frw_cfg_element_t)));
        if (!e)
            return nullptr;
        e->refCount = 1;
    }
    YW_kv_create(&e->kv, key, value);
    YW_list_init(&e->attrList);
    YW_list_init(&e->childList);
    e->parent = nullptr;
    return e;
}

extern "C" void YW_frw_releaseCfgElement(YW_frw_cfg_element_t *cfge)
{
    if (!cfge)
        return;
    YW_kv_release(&cfge->kv);
    if (cfge->refCount > 0 && --cfge->refCount == 0)
        YW_free(cfge);
}

extern "C" void YW_frw_addCfgElement(YW_frw_cfg_element_t *parent, YW_frw_cfg_element_t *child)
{
    if (!parent || !child)
        return;
    YW_kv_add(&parent->childList, &child->kv);
    child->parent = parent;
}

extern "C" void YW_frw_addCfgAttr(YW_frw_cfg_element_t *parent, YW_frw_cfg_element_t *child)
{
    if (!parent || !child)
        return;
    YW_kv_add(&parent->attrList, &child->kv);
    child->parent = parent;
}

extern "C" void YW_frw_delCfgElement(YW_frw_cfg_element_t *parent, YW_frw_cfg_element_t *child)
{
    if (!child)
        return;
    YW_kv_del(parent ? &parent->childList : nullptr, &child->kv);
    child->parent = nullptr;
}

extern "C" void YW_frw_delCfgAttr(YW_frw_cfg_element_t *parent, YW_frw_cfg_element_t *child)
{
    if (!child)
        return;
    YW_kv_del(parent ? &parent->attrList : nullptr, &child->kv);
    child->parent = nullptr;
}

extern "C" YW_frw_cfg_element_t *YW_frw_nextCfgElement(YW_frw_cfg_element_t *parent, YW_frw_cfg_element_t *next)
{
    if (!parent)
        return nullptr;
    return asElement(YW_kv_next(&parent->childList, next ? &next->kv : nullptr));
}

extern "C" YW_frw_cfg_element_t *YW_frw_nextCfgAttr(YW_frw_cfg_element_t *parent, YW_frw_cfg_element_t *next)
{
    if (!parent)
        return nullptr;
    return asElement(YW_kv_next(&parent->attrList, next ? &next->kv : nullptr));
}

extern "C" YW_frw_cfg_element_t *YW_frw_searchCfgElement(YW_frw_cfg_element_t *parent, const char *key,
                                                         YW_frw_cfg_element_t *next)
{
    if (!parent || !key)
        return nullptr;
    for (auto *e = YW_frw_nextCfgElement(parent, next); e; e = YW_frw_nextCfgElement(parent, e)) {
        if (e->kv.key && std::strcmp(e->kv.key, key) == 0)
            return e;
    }
    return nullptr;
}

extern "C" YW_frw_cfg_element_t *YW_frw_searchCfgAttr(YW_frw_cfg_element_t *parent, const char *key)
{
    if (!parent || !key)
        return nullptr;
    for (auto *a = YW_frw_nextCfgAttr(parent, nullptr); a; a = YW_frw_nextCfgAttr(parent, a)) {
        if (a->kv.key && std::strcmp(a->kv.key, key) == 0)
            return a;
    }
    return nullptr;
}

// ---- building ----------------------------------------------------------------

extern "C" int YW_frw_cfg_proc(int tag, char *key, char *val, void *arg)
{
    auto *s = static_cast<YW_frw_cfg_set_t *>(arg);
    if (!s || !s->cur)
        return 0;
    if (key && inText(s, key))
        s->lastPos = key;
    if (!key)
        key = const_cast<char *>("");

    switch (tag) {
    case xml_start_tag:
        return onOpen(s, key, false);
    case xml_empty_tag:
        return onOpen(s, key, true);
    case xml_end_tag:
        return onClose(s, key);
    case xml_attribute:
        return onAttribute(s, key, val);
    case xml_string:
    case xml_comment:
        closeLeaf(s);
        s->attrMode = ATTR_REFUSE;
        s->attrOwner = nullptr;
        return 0;
    case xml_declaration_tag:
        closeLeaf(s);
        s->attrMode = ATTR_DROP;
        s->attrOwner = nullptr;
        return 0;
    case xml_tag_content:
        if (s->attrMode == ATTR_DROP)
            return 0;
        CFG_PRINT("malformed attribute \"%.64s\" (line %d)\n", key, lineOf(s));
        return buildFail(s);
    case xml_parse_error:
        CFG_PRINT("xml parse error: %s (line %d)\n", key, lineOf(s));
        return buildFail(s);
    default:
        return 0;
    }
}

// ---- set operations ------------------------------------------------------------

extern "C" YW_ret_t YW_frw_cfg_loadText(char *text, YW_size_t size, YW_frw_cfg_set_t *pCfgSet)
{
    if (!text || !pCfgSet || size < 0)
        return YW_FAIL;
    resetSet(pCfgSet);
    YW_ret_t r = parseInto(pCfgSet, text, size);
    if (r != 0)
        CFG_PRINT("error=%d\n", r);
    return r;
}

extern "C" YW_ret_t YW_frw_cfg_load(const char *filename, YW_frw_cfg_set_t *pCfgSet)
{
    if (!filename || !pCfgSet)
        return YW_FAIL;
    resetSet(pCfgSet);

    const char *folder = YW_frw_getConfig(YW_FRW_CFG_FOLDERNAME);
    if (!folder)
        folder = YW_FRW_CFG_FOLDER_DEFAULT;
    char path[YW_FRW_CFG_PATH_MAX];
    if (YW_frw_getCfgFilePath_n(filename, path, sizeof path) != 0) {
        CFG_PRINT("config file path too long (%zu + %zu bytes, limit %d): %.64s...\n", std::strlen(folder),
                  std::strlen(filename), YW_FRW_CFG_PATH_MAX - 2, folder);
        return YW_FAIL;
    }

    // Opened without blocking: a FIFO or device in place of the file must be
    // refused, not waited on for ever.
    FileCloser file{-1};
    if (YW_P_openFile(path, O_RDONLY | O_NONBLOCK, 0, &file.fd) != 0 || file.fd < 0) {
        file.fd = -1;
        CFG_PRINT("file not found:%s\n", path);
        return YW_FAIL;
    }
    struct stat st {};
    if (fstat(file.fd, &st) != 0) {
        CFG_PRINT("can't get the size of %s\n", path);
        return YW_FAIL;
    }
    if (!S_ISREG(st.st_mode)) {
        CFG_PRINT("not a regular file:%s\n", path);
        return YW_FAIL;
    }
    YW_size_t size = (YW_size_t)st.st_size;
    if (size > YW_FRW_CFG_FILE_MAX) {
        CFG_PRINT("file %s too large: %lld bytes (limit %d)\n", path, (long long)size, YW_FRW_CFG_FILE_MAX);
        return YW_FAIL;
    }
    std::unique_ptr<char, YwFree> content(static_cast<char *>(YW_malloc((YW_usize_t)size + 1)));
    if (!content) {
        CFG_PRINT("no memory for %lld bytes of %s\n", (long long)size, path);
        return YW_FAIL;
    }
    YW_size_t got = 0;
    while (got < size) {
        YW_size_t n = YW_P_read(file.fd, content.get() + got, size - got);
        if (n <= 0)
            break;
        got += n;
    }
    if (got != size) {
        CFG_PRINT("short read of %s: %lld of %lld bytes\n", path, (long long)got, (long long)size);
        return YW_FAIL;
    }

    YW_ret_t r = parseInto(pCfgSet, content.get(), size);
    if (r != 0)
        CFG_PRINT("error=%d\n", r);
    return r;
}

extern "C" YW_ret_t YW_frw_cfg_releaseCfgElement(YW_frw_cfg_element_t *cur)
{
    if (!cur)
        return YW_FAIL;
    while (YW_frw_cfg_element_t *a = YW_frw_nextCfgAttr(cur, nullptr)) {
        YW_frw_delCfgAttr(cur, a);
        YW_frw_releaseCfgElement(a);
    }
    while (YW_frw_cfg_element_t *c = YW_frw_nextCfgElement(cur, nullptr)) {
        YW_frw_cfg_releaseCfgElement(c);
        YW_frw_delCfgElement(cur, c);
        YW_frw_releaseCfgElement(c);
    }
    return YW_SUCCESS;
}

extern "C" YW_ret_t YW_frw_cfg_unload(YW_frw_cfg_set_t *pCfgSet)
{
    if (!pCfgSet)
        return YW_FAIL;
    if (pCfgSet->root.attrList.next && pCfgSet->root.childList.next)
        YW_frw_cfg_releaseCfgElement(&pCfgSet->root);
    YW_free(pCfgSet->buffer);
    pCfgSet->buffer = nullptr;
    pCfgSet->bufferCur = nullptr;
    pCfgSet->base = nullptr;
    pCfgSet->cur = &pCfgSet->root;
    pCfgSet->parent = nullptr;
    return YW_SUCCESS;
}

extern "C" void YW_frw_cfg_setBase(YW_frw_cfg_set_t *pCfgSet)
{
    if (!pCfgSet)
        return;
    pCfgSet->base = nullptr;
    // The document's outermost element holds the "fw" element.
    for (auto *top = YW_frw_nextCfgElement(&pCfgSet->root, nullptr); top; top = YW_frw_nextCfgElement(&pCfgSet->root, top)) {
        if (auto *fw = YW_frw_searchCfgElement(top, YW_FRW_CFG_BASE_TAG, nullptr)) {
            pCfgSet->base = fw;
            return;
        }
    }
}

extern "C" YW_frw_cfg_element_t *YW_frw_cfg_getSysRoot(void)
{
    return &YW_g_frw_sys_cfg_set.root;
}

extern "C" YW_frw_cfg_element_t *YW_frw_cfg_getAppRoot(void)
{
    return &YW_g_frw_app_cfg_set.root;
}

extern "C" YW_frw_cfg_element_t *YW_frw_cfg_getSysBase(void)
{
    return YW_g_frw_sys_cfg_set.base;
}

extern "C" YW_frw_cfg_element_t *YW_frw_cfg_getAppBase(void)
{
    return YW_g_frw_app_cfg_set.base;
}

extern "C" YW_frw_cfg_element_t *YW_frw_cfg_findServiceManageCfg(const char *tag)
{
    YW_frw_cfg_element_t *base = YW_g_frw_sys_cfg_set.base;
    if (!base || !tag)
        return nullptr;
    YW_frw_cfg_element_t *e = YW_frw_searchCfgElement(base, tag, nullptr);
    if (e)
        CFG_PRINT("tag=%s, parent=%s found=%s\n", tag, base->kv.key, e->kv.key);
    else
        CFG_PRINT("tag=%s, parent=%s not found=\n", tag, base->kv.key);
    return e;
}

extern "C" YW_ret_t YW_frw_cfg_setAttr(YW_frw_cfg_element_t *next, YW_addr_t pCfg, YW_frw_cfg_setAttr_f setAttr_f)
{
    if (!next || !setAttr_f)
        return YW_FAIL;
    for (auto *a = YW_frw_nextCfgAttr(next, nullptr); a; a = YW_frw_nextCfgAttr(next, a)) {
        YW_ret_t r = setAttr_f(pCfg, next->kv.key, a->kv.key, a->kv.value);
        if (r != 0) {
            CFG_PRINT("set attr error = %d\n", r);
            return r;
        }
    }
    for (auto *c = YW_frw_nextCfgElement(next, nullptr); c; c = YW_frw_nextCfgElement(next, c)) {
        YW_ret_t r = YW_frw_cfg_setAttr(c, pCfg, setAttr_f);
        if (r != 0) {
            CFG_PRINT("set child attr error = %d\n", r);
            return r;
        }
    }
    return YW_SUCCESS;
}

// ---- text dumps ------------------------------------------------------------------

extern "C" YW_size_t YW_frw_cfg_element_toString(YW_frw_cfg_element_t *p, char *bp, YW_size_t blen, int depth)
{
    if (!p || !bp || blen < 1)
        return 0;
    Writer w{bp, blen, 0};
    bp[0] = '\0';
    dumpElement(w, p, depth);
    return w.pos;
}

extern "C" YW_size_t YW_frw_cfg_element_briefString(YW_frw_cfg_element_t *p, char *bp, YW_size_t blen, int depth)
{
    if (!p || !bp || blen < 1)
        return 0;
    Writer w{bp, blen, 0};
    bp[0] = '\0';
    kvLine(w, p, depth);
    w.put("attr=%d child=%d", (int)YW_listHead_count(&p->attrList), (int)YW_listHead_count(&p->childList));
    return w.pos;
}

extern "C" char *YW_frw_cfg_element_getString(YW_frw_cfg_element_t *p, int brief)
{
    s_stringBuf[0] = '\0';
    if (brief)
        YW_frw_cfg_element_briefString(p, s_stringBuf, sizeof s_stringBuf, 0);
    else
        YW_frw_cfg_element_toString(p, s_stringBuf, sizeof s_stringBuf, 0);
    s_stringBuf[sizeof s_stringBuf - 1] = '\0';
    return s_stringBuf;
}

// ---- start-up steps ---------------------------------------------------------------

extern "C" YW_int32_t YW_frw_loadConfig(void)
{
    YW_ret_t r = YW_frw_cfg_load(YW_frw_getConfig(YW_FRW_SYS_CFG_FILENAME), &YW_g_frw_sys_cfg_set);
    if (r < 0) {
        CFG_PRINT("load sys config file fail error=%d\n", r);
        std::fflush(stdout);
        std::exit(1);
    }
    std::printf("sys config loaded:\n %s", YW_frw_cfg_element_getString(&YW_g_frw_sys_cfg_set.root, 1));
    return r;
}

extern "C" YW_int32_t YW_frw_loadAppConfig(void)
{
    YW_ret_t r = YW_frw_cfg_load(YW_frw_getConfig(YW_FRW_APP_CFG_FILENAME), &YW_g_frw_app_cfg_set);
    if (r < 0)
        CFG_PRINT("load app config file fail error=%d\n", r);
    else
        std::printf("app config loaded:\n %s", YW_frw_cfg_element_getString(&YW_g_frw_app_cfg_set.root, 1));
    return r;
}

// Configuration tree: shape and lookups of loaded files, the attribute walk,
// malformed input, arena exhaustion and the start-up loaders.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "frw/yw_frw.h"
#include "frw/yw_frw_cfg.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

const char *kTwoSections = R"(<?xml version="1.0" encoding="UTF-8"?>
<!-- node configuration; <fwConf> below is the real one -->
<turvConfig>
  <fw>
    <fwConf>
      <fwDef nodeNo="0" name="node0" local="1" isMaster="1" frwIAP="10"/>
      <fwDef nodeNo="1" name="node1" local="0" isMaster="0" frwIAP="11"/>
    </fwConf>
    <taskConf>
      <taskDef name="tsm" functionName="YW_task_tsm_main" category="framework ini" stackSize="32768">
        <schedule policy="SCHED_FIFO" priority="50" cpu="0" core_mask="ff"/>
      </taskDef>
      <!-- <taskDef name="old" functionName="gone"/> -->
      <taskDef name="app1" functionName="app_main" category="app" password=" a &amp; b "/>
      <group>
        <x k="1"/>
        <y k="2"/>
      </group>
    </taskConf>
  </fw>
</turvConfig>
)";

// Loads text held in memory into a fresh set.
struct Loaded {
    YW_frw_cfg_set_t set{};
    std::vector<char> text;
    YW_ret_t r = YW_FAIL;
    std::string out;

    explicit Loaded(const std::string &s)
    {
        text.assign(s.begin(), s.end());
        text.push_back('\0');
        CaptureStdout();
        r = YW_frw_cfg_loadText(text.data(), (YW_size_t)s.size(), &set);
        out = GetCapturedStdout();
    }
    ~Loaded() { YW_frw_cfg_unload(&set); }
};

std::string attr(YW_frw_cfg_element_t *e, const char *key)
{
    YW_frw_cfg_element_t *a = YW_frw_searchCfgAttr(e, key);
    return a ? a->kv.value : "<none>";
}

std::vector<std::string> childKeys(YW_frw_cfg_element_t *e)
{
    std::vector<std::string> v;
    for (auto *c = YW_frw_nextCfgElement(e, nullptr); c; c = YW_frw_nextCfgElement(e, c))
        v.push_back(c->kv.key);
    return v;
}

std::vector<std::string> attrKeys(YW_frw_cfg_element_t *e)
{
    std::vector<std::string> v;
    for (auto *a = YW_frw_nextCfgAttr(e, nullptr); a; a = YW_frw_nextCfgAttr(e, a))
        v.push_back(a->kv.key);
    return v;
}

struct Walk {
    std::vector<std::string> calls;
    std::string failOn;
};

YW_ret_t recordAttr(YW_addr_t cfg, YW_string_t element, YW_string_t key, YW_string_t value)
{
    auto *w = static_cast<Walk *>(cfg);
    w->calls.push_back(std::string(element) + "." + key + "=" + value);
    return w->failOn == key ? YW_ERR_NO_CFG : YW_SUCCESS;
}

// A temporary configuration folder, set as the process's folder name.
struct TempFolder {
    std::filesystem::path dir;
    TempFolder()
    {
        char tmpl[] = "/tmp/yw_cfg_test_XXXXXX";
        dir = mkdtemp(tmpl);
        YW_frw_setConfig(YW_FRW_CFG_FOLDERNAME, dir.c_str());
    }
    ~TempFolder()
    {
        YW_frw_setConfigDefault();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    void write(const std::string &name, const std::string &text) const
    {
        std::ofstream(dir / name, std::ios::binary) << text;
    }
};

using V = std::vector<std::string>;

} // namespace

TEST(CfgTree, ShapeAndLookupsOfATwoSectionFile)
{
    Loaded l(kTwoSections);
    ASSERT_EQ(l.r, 0) << l.out;
    YW_frw_cfg_element_t *root = &l.set.root;
    EXPECT_STREQ(root->kv.key, "root");
    EXPECT_STREQ(root->kv.value, "normal");
    EXPECT_EQ(root->refCount, -1);
    EXPECT_EQ(attrKeys(root), V{}) << "declaration attributes must not land on the root";
    EXPECT_EQ(childKeys(root), V{"turvConfig"});

    YW_frw_cfg_element_t *fw = l.set.base;
    ASSERT_NE(fw, nullptr);
    EXPECT_STREQ(fw->kv.key, "fw");
    EXPECT_EQ(childKeys(fw), (V{"fwConf", "taskConf"}));

    // Repeated searches enumerate all children of one name in document order.
    YW_frw_cfg_element_t *fwConf = YW_frw_searchCfgElement(fw, "fwConf", nullptr);
    YW_frw_cfg_element_t *n0 = YW_frw_searchCfgElement(fwConf, "fwDef", nullptr);
    YW_frw_cfg_element_t *n1 = YW_frw_searchCfgElement(fwConf, "fwDef", n0);
    ASSERT_TRUE(n0 && n1);
    EXPECT_EQ(YW_frw_searchCfgElement(fwConf, "fwDef", n1), nullptr);
    EXPECT_STREQ(n0->kv.value, "leaf");
    EXPECT_EQ(n0->parent, fwConf);
    EXPECT_EQ(attrKeys(n0), (V{"nodeNo", "name", "local", "isMaster", "frwIAP"}));
    EXPECT_EQ(attr(n1, "name"), "node1");
    EXPECT_EQ(YW_frw_searchCfgElement(fwConf, "fwdef", nullptr), nullptr) << "keys are case-sensitive";

    YW_frw_cfg_element_t *taskConf = YW_frw_searchCfgElement(fw, "taskConf", nullptr);
    EXPECT_EQ(childKeys(taskConf), (V{"taskDef", "taskDef", "group"})) << "the commented-out taskDef is skipped";
    YW_frw_cfg_element_t *tsm = YW_frw_searchCfgElement(taskConf, "taskDef", nullptr);
    EXPECT_STREQ(tsm->kv.value, "normal");
    EXPECT_EQ(attr(tsm, "category"), "framework ini");
    YW_frw_cfg_element_t *sched = YW_frw_searchCfgElement(tsm, "schedule", nullptr);
    EXPECT_EQ(attr(sched, "core_mask"), "ff");
    YW_frw_cfg_element_t *app = YW_frw_searchCfgElement(taskConf, "taskDef", tsm);
    EXPECT_EQ(attr(app, "password"), " a &amp; b ") << "values are kept exactly as written";
    EXPECT_EQ(attr(app, "missing"), "<none>");

    // Every string lies in the arena; the constants take no room.
    for (YW_frw_cfg_element_t *e : {fw, n0, YW_frw_searchCfgAttr(n0, "frwIAP")}) {
        EXPECT_GE(e->kv.key, l.set.buffer);
        EXPECT_LT(e->kv.key, l.set.bufferCur);
    }
    EXPECT_LE(l.set.bufferCur - l.set.buffer, 400);
}

TEST(CfgTree, AttributeWalkVisitsAttributesThenChildren)
{
    Loaded l(kTwoSections);
    ASSERT_EQ(l.r, 0);
    YW_frw_cfg_element_t *taskConf = YW_frw_searchCfgElement(l.set.base, "taskConf", nullptr);
    YW_frw_cfg_element_t *tsm = YW_frw_searchCfgElement(taskConf, "taskDef", nullptr);
    Walk w;
    EXPECT_EQ(YW_frw_cfg_setAttr(tsm, &w, recordAttr), 0);
    EXPECT_EQ(w.calls, (V{"taskDef.name=tsm", "taskDef.functionName=YW_task_tsm_main",
                          "taskDef.category=framework ini", "taskDef.stackSize=32768", "schedule.policy=SCHED_FIFO",
                          "schedule.priority=50", "schedule.cpu=0", "schedule.core_mask=ff"}));

    // An element without attributes still has each of its children walked once.
    Walk g;
    EXPECT_EQ(YW_frw_cfg_setAttr(YW_frw_searchCfgElement(taskConf, "group", nullptr), &g, recordAttr), 0);
    EXPECT_EQ(g.calls, (V{"x.k=1", "y.k=2"}));

    // The first failure ends the walk and is returned.
    Walk f;
    f.failOn = "priority";
    CaptureStdout();
    EXPECT_EQ(YW_frw_cfg_setAttr(tsm, &f, recordAttr), YW_ERR_NO_CFG);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(f.calls.back(), "schedule.priority=50");
    EXPECT_NE(out.find("set attr error = -974"), std::string::npos) << out;
    EXPECT_NE(out.find("set child attr error = -974"), std::string::npos) << out;
}

TEST(CfgTree, LeavesAndSiblings)
{
    // An empty tag followed by a line break is a leaf with its attribute; the
    // next element is its sibling. Without text between them too.
    Loaded l("<c><fw><a k=\"1\"/>\n<b/><d><e/></d></fw></c>");
    ASSERT_EQ(l.r, 0) << l.out;
    EXPECT_EQ(childKeys(l.set.base), (V{"a", "b", "d"}));
    YW_frw_cfg_element_t *a = YW_frw_searchCfgElement(l.set.base, "a", nullptr);
    EXPECT_EQ(attr(a, "k"), "1");
    EXPECT_EQ(childKeys(a), V{});
    EXPECT_EQ(childKeys(YW_frw_searchCfgElement(l.set.base, "d", nullptr)), V{"e"});
}

TEST(CfgTree, DocumentWithoutFwHasNoBase)
{
    Loaded l("<c><notfw><taskConf/></notfw></c>");
    ASSERT_EQ(l.r, 0);
    EXPECT_EQ(l.set.base, nullptr);
}

TEST(CfgTree, SectionLookupInTheSystemSet)
{
    std::string text = kTwoSections;
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    CaptureStdout();
    ASSERT_EQ(YW_frw_cfg_loadText(buf.data(), (YW_size_t)text.size(), &YW_g_frw_sys_cfg_set), 0);
    EXPECT_EQ(YW_frw_cfg_getSysBase(), YW_g_frw_sys_cfg_set.base);
    EXPECT_EQ(YW_frw_cfg_getSysRoot(), &YW_g_frw_sys_cfg_set.root);
    YW_frw_cfg_element_t *t = YW_frw_cfg_findServiceManageCfg("taskConf");
    YW_frw_cfg_element_t *i = YW_frw_cfg_findServiceManageCfg("ipcConf");
    std::string out = GetCapturedStdout();
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t->kv.key, "taskConf");
    EXPECT_EQ(i, nullptr);
    EXPECT_NE(out.find("tag=taskConf, parent=fw found=taskConf\n"), std::string::npos) << out;
    EXPECT_NE(out.find("tag=ipcConf, parent=fw not found=\n"), std::string::npos) << out;

    YW_frw_cfg_unload(&YW_g_frw_sys_cfg_set);
    EXPECT_EQ(YW_frw_cfg_findServiceManageCfg("taskConf"), nullptr);
}

TEST(CfgTree, MalformedInputFailsTheLoadWithAClearLine)
{
    const std::pair<const char *, const char *> cases[] = {
        {"<c><fw><a k=1/></fw></c>", "xml parse error: unquoted attribute value (line 1)"},
        {"<c><fw>\n<a k=\"1 j=\"2\"/></fw></c>", "attribute"},
        {"<c><fw><a k=\"1/>\n</fw></c>", "xml parse error: missing end quote on attribute (line 1)"},
        {"<c><fw><a k=\"1\" flag/></fw></c>", "malformed attribute \"flag\""},
        {"<c><fw>\n\n<a></b></fw></c>", "end tag </b> does not match <a> (line 3)"},
        {"<c/></c>", "end tag </c> without a start tag"},
        {"<c><fw></fw>", "element <c> is not closed at the end of the file"},
        {"<c><fw></fw></c k=\"v\">", "attribute k outside a start tag"},
        {"<c><fw><a", "xml parse error: unexpected end of file 2"},
        {"<c><!-- open", "xml parse error: unterminated comment"},
        {"<c><></c>", "element without a name"},
    };
    for (const auto &[text, line] : cases) {
        Loaded l(text);
        EXPECT_EQ(l.r, YW_FAIL) << text;
        EXPECT_NE(l.out.find(line), std::string::npos) << text << "\n" << l.out;
        EXPECT_NE(l.out.find("error=-1"), std::string::npos) << text;
        EXPECT_EQ(l.set.base, nullptr) << text;
    }
}

TEST(CfgTree, NestingDepthIsBounded)
{
    std::string ok, deep;
    for (int i = 0; i < YW_FRW_CFG_DEPTH_MAX; ++i)
        ok += "<e>";
    for (int i = 0; i < YW_FRW_CFG_DEPTH_MAX; ++i)
        ok += "</e>";
    Loaded l1(ok);
    EXPECT_EQ(l1.r, 0) << l1.out;

    for (int i = 0; i < 100000; ++i)
        deep += "<e>";
    Loaded l2(deep);
    EXPECT_EQ(l2.r, YW_FAIL);
    EXPECT_NE(l2.out.find("nests deeper than 32 levels"), std::string::npos) << l2.out.substr(0, 400);
}

TEST(CfgTree, ArenaOverrunDropsTheWholeElement)
{
    // An attribute that does not fit drops its element with the subtree; the
    // element's other attributes and children land nowhere else.
    std::string big(CONFIG_XML_KV_BUFFER_SIZE, 'x');
    std::string text = "<c><fw><big a=\"1\" v=\"" + big + "\" w=\"2\"><child k=\"v\"><g/></child></big>" +
                       "<after x=\"1\"/></fw></c>";
    Loaded l(text);
    EXPECT_EQ(l.r, 0) << l.out.substr(0, 400);
    EXPECT_NE(l.out.find("xml kv buffer ovverrun: sz=61440"), std::string::npos);
    EXPECT_NE(l.out.find("element <big> dropped with its subtree (line 1)"), std::string::npos);
    ASSERT_NE(l.set.base, nullptr);
    EXPECT_EQ(childKeys(l.set.base), V{"after"});
    EXPECT_EQ(attrKeys(l.set.base), V{});
    EXPECT_EQ(attr(YW_frw_searchCfgElement(l.set.base, "after", nullptr), "x"), "1");

    // Fill the arena with leaves until it overruns: each dropped leaf is
    // reported, none is kept half, and the load still succeeds.
    std::string many = "<c><fw>";
    for (int i = 0; i < 1000; ++i)
        many += "<leaf name=\"n" + std::to_string(i) + "\" value=\"" + std::string(100, 'v') + "\"/>\n";
    many += "</fw></c>";
    Loaded m(many);
    EXPECT_EQ(m.r, 0);
    size_t kept = childKeys(m.set.base).size();
    EXPECT_GT(kept, 100u);
    EXPECT_LT(kept, 1000u);
    for (auto *e = YW_frw_nextCfgElement(m.set.base, nullptr); e; e = YW_frw_nextCfgElement(m.set.base, e))
        ASSERT_EQ(attrKeys(e), (V{"name", "value"}));
    size_t reported = 0;
    for (size_t p = 0; (p = m.out.find("dropped with its subtree", p)) != std::string::npos; ++p)
        ++reported;
    EXPECT_EQ(reported, 1000 - kept);
    // Each report names the line of its own leaf (leaf i is on line i + 1).
    size_t line = kept + 1;
    const std::string tag = "element <leaf> dropped with its subtree (line ";
    for (size_t p = 0; (p = m.out.find(tag, p)) != std::string::npos; p += tag.size(), ++line)
        ASSERT_EQ(std::atoi(m.out.c_str() + p + tag.size()), (int)line);
    EXPECT_LE(m.set.bufferCur - m.set.buffer, CONFIG_XML_KV_BUFFER_SIZE);

    // A name that does not fit drops the element and everything inside it.
    std::string longName(CONFIG_XML_KV_BUFFER_SIZE, 'n');
    Loaded n("<c><fw><" + longName + " k=\"v\"><in/></" + longName + "><ok/></fw></c>");
    EXPECT_EQ(n.r, 0);
    EXPECT_EQ(childKeys(n.set.base), V{"ok"});
}

TEST(CfgTree, TextDumps)
{
    Loaded l("<c><fw><a k=\"v\"/></fw></c>");
    ASSERT_EQ(l.r, 0);
    std::string brief = YW_frw_cfg_element_getString(&l.set.root, 1);
    EXPECT_EQ(brief.rfind("\n[0]kv: key=root value=normal refCount=-1 listLink: start=", 0), 0u) << brief;
    EXPECT_EQ(brief.substr(brief.size() - 14), "attr=0 child=1") << brief;

    std::string full = YW_frw_cfg_element_getString(&l.set.root, 0);
    EXPECT_NE(full.find("\n[0]child 1: \n [1]kv: key=c value=normal"), std::string::npos) << full;
    EXPECT_NE(full.find("\n   [3]attr 1: \n    [4]kv: key=k value=v refCount=-1"), std::string::npos) << full;

    char small[40];
    YW_size_t n = YW_frw_cfg_element_toString(&l.set.root, small, sizeof small, 0);
    EXPECT_LT(n, (YW_size_t)sizeof small);
    EXPECT_EQ(std::string(small).size(), (size_t)n);
}

TEST(CfgLoad, MissingFileAndTooLongPath)
{
    TempFolder tmp;
    YW_frw_cfg_set_t set{};
    CaptureStdout();
    EXPECT_EQ(YW_frw_cfg_load("absent.xml", &set), YW_FAIL);
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("file not found:" + tmp.dir.string() + "/absent.xml\n"), std::string::npos) << out;
    EXPECT_EQ(set.base, nullptr);
    EXPECT_EQ(YW_frw_nextCfgElement(&set.root, nullptr), nullptr);

    CaptureStdout();
    EXPECT_EQ(YW_frw_cfg_load(std::string(600, 'f').c_str(), &set), YW_FAIL);
    out = GetCapturedStdout();
    EXPECT_NE(out.find("config file path too long"), std::string::npos) << out;

    // A folder given as the file: opened, but not read as a configuration.
    std::filesystem::create_directory(tmp.dir / "sub.xml");
    CaptureStdout();
    EXPECT_EQ(YW_frw_cfg_load("sub.xml", &set), YW_FAIL);
    GetCapturedStdout();

    EXPECT_EQ(YW_frw_cfg_load(nullptr, &set), YW_FAIL);
    EXPECT_EQ(YW_frw_cfg_load("x.xml", nullptr), YW_FAIL);
    YW_frw_cfg_unload(&set);
}

TEST(CfgLoad, LongFolderIsReadOrRefusedNeverReplaced)
{
    TempFolder tmp;
    // A folder name of more than 255 characters whose path still fits.
    std::filesystem::path deep = tmp.dir / std::string(200, 'a') / std::string(150, 'b');
    std::filesystem::create_directories(deep);
    std::ofstream(deep / "sys.xml") << "<c><fw><deepConf/></fw></c>";
    tmp.write("sys.xml", "<c><fw><shallowConf/></fw></c>");
    ASSERT_GT(deep.string().size(), 255u);
    ASSERT_EQ(YW_frw_setConfig(YW_FRW_CFG_FOLDERNAME, deep.c_str()), 0);
    YW_frw_cfg_set_t set{};
    CaptureStdout();
    EXPECT_EQ(YW_frw_cfg_load("sys.xml", &set), 0);
    GetCapturedStdout();
    ASSERT_NE(set.base, nullptr);
    EXPECT_EQ(childKeys(set.base), V{"deepConf"});

    // Too long to join: the load fails; no file of another folder is read.
    std::string tooLong = tmp.dir.string() + "/" + std::string(600, 'z');
    ASSERT_EQ(YW_frw_setConfig(YW_FRW_CFG_FOLDERNAME, tooLong.c_str()), 0);
    CaptureStdout();
    EXPECT_EQ(YW_frw_cfg_load("sys.xml", &set), YW_FAIL);
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("config file path too long"), std::string::npos) << out;
    EXPECT_EQ(set.base, nullptr);
    YW_frw_cfg_unload(&set);
}

int lowestFreeFd()
{
    int fd = open("/dev/null", O_RDONLY);
    close(fd);
    return fd;
}

TEST(CfgLoad, EveryPathClosesTheFileAndAFailedOpenReturnsAtOnce)
{
    TempFolder tmp;
    tmp.write("ok.xml", "<c><fw><a k=\"v\"/></fw></c>");
    tmp.write("broken.xml", "<c><fw><a k=v/></fw></c>");
    std::filesystem::create_directory(tmp.dir / "dir.xml");
    {
        std::ofstream big(tmp.dir / "big.xml");
    }
    std::filesystem::resize_file(tmp.dir / "big.xml", YW_FRW_CFG_FILE_MAX + 1);

    const int before = lowestFreeFd();
    YW_frw_cfg_set_t set{};
    const std::pair<std::string, int> loads[] = {
        {"ok.xml", 0}, {"broken.xml", YW_FAIL}, {"dir.xml", YW_FAIL}, {"big.xml", YW_FAIL}, {"absent.xml", YW_FAIL}};
    for (const auto &[name, expected] : loads) {
        CaptureStdout();
        YW_ret_t r = YW_frw_cfg_load(name.c_str(), &set);
        std::string out = GetCapturedStdout();
        EXPECT_EQ(r, expected) << name << "\n" << out;
        EXPECT_EQ(lowestFreeFd(), before) << name;
        if (name == "absent.xml") {
            // One line, and nothing is tried after the open failed.
            EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
            EXPECT_NE(out.find(" file not found:" + (tmp.dir / "absent.xml").string() + "\n"), std::string::npos)
                << out;
        }
        if (name == "big.xml") {
            EXPECT_NE(out.find("too large"), std::string::npos) << out;
        }
    }
    YW_frw_cfg_unload(&set);
}

TEST(CfgLoad, FileLoadsFromTheConfigurationFolder)
{
    TempFolder tmp;
    tmp.write("sys.xml", kTwoSections);
    YW_frw_cfg_set_t set{};
    CaptureStdout();
    EXPECT_EQ(YW_frw_cfg_load("sys.xml", &set), 0);
    GetCapturedStdout();
    ASSERT_NE(set.base, nullptr);
    EXPECT_EQ(childKeys(set.base), (V{"fwConf", "taskConf"}));
    // Loading the set again replaces the tree.
    tmp.write("sys.xml", "<c><fw><only/></fw></c>");
    CaptureStdout();
    EXPECT_EQ(YW_frw_cfg_load("sys.xml", &set), 0);
    GetCapturedStdout();
    EXPECT_EQ(childKeys(set.base), V{"only"});
    EXPECT_EQ(YW_frw_cfg_unload(&set), 0);
    EXPECT_EQ(set.buffer, nullptr);
    EXPECT_EQ(YW_frw_cfg_unload(nullptr), YW_FAIL);
}

TEST(CfgLoad, StartUpSteps)
{
    TempFolder tmp;
    // Missing application file: reported and returned, nothing else.
    YW_frw_setConfig(YW_FRW_APP_CFG_FILENAME, "no_app.xml");
    CaptureStdout();
    EXPECT_EQ(YW_frw_loadAppConfig(), YW_FAIL);
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("file not found:" + tmp.dir.string() + "/no_app.xml"), std::string::npos) << out;
    EXPECT_NE(out.find("load app config file fail error=-1\n"), std::string::npos) << out;

    tmp.write("app.xml", "<c><fw/></c>");
    YW_frw_setConfig(YW_FRW_APP_CFG_FILENAME, "app.xml");
    CaptureStdout();
    EXPECT_EQ(YW_frw_loadAppConfig(), 0);
    out = GetCapturedStdout();
    EXPECT_EQ(out.rfind("app config loaded:\n \n[0]kv: key=root value=normal", 0), 0u) << out;
    EXPECT_NE(YW_frw_cfg_getAppBase(), nullptr);

    tmp.write("sys.xml", kTwoSections);
    YW_frw_setConfig(YW_FRW_SYS_CFG_FILENAME, "sys.xml");
    CaptureStdout();
    EXPECT_EQ(YW_frw_loadConfig(), 0);
    out = GetCapturedStdout();
    EXPECT_NE(out.find("sys config loaded:\n \n[0]kv: key=root"), std::string::npos) << out;
    EXPECT_NE(YW_frw_cfg_findServiceManageCfg("fwConf"), nullptr);
}

TEST(CfgLoadDeathTest, BrokenSystemFileEndsTheProcessWithStatus1)
{
    TempFolder tmp;
    tmp.write("sys.xml", "<c><fw><a k=1/></fw></c>");
    YW_frw_setConfig(YW_FRW_SYS_CFG_FILENAME, "sys.xml");
    EXPECT_EXIT(YW_frw_loadConfig(), testing::ExitedWithCode(1), "");
}

TEST(CfgLoad, ExampleConfigurationsLoad)
{
    const std::string dir = std::string(TURV_SOURCE_DIR) + "/examples/single-node";
    YW_frw_setConfig(YW_FRW_CFG_FOLDERNAME, dir.c_str());
    YW_frw_cfg_set_t sys{}, app{};
    CaptureStdout();
    EXPECT_EQ(YW_frw_cfg_load("turv_sys_cfg.xml", &sys), 0);
    EXPECT_EQ(YW_frw_cfg_load("turv_app_cfg.xml", &app), 0);
    std::string out = GetCapturedStdout();
    YW_frw_setConfigDefault();
    ASSERT_NE(sys.base, nullptr) << out;
    for (const char *s : {"fwConf", "logConf", "taskConf", "timerConf", "resourceConf", "dymConf", "ipcConf"})
        EXPECT_NE(YW_frw_searchCfgElement(sys.base, s, nullptr), nullptr) << s;
    YW_frw_cfg_element_t *fwDef = YW_frw_searchCfgElement(YW_frw_searchCfgElement(sys.base, "fwConf", nullptr), "fwDef", nullptr);
    ASSERT_NE(fwDef, nullptr);
    EXPECT_EQ(attrKeys(fwDef).front(), "nodeNo");
    EXPECT_EQ(attr(fwDef, "local"), "1");
    EXPECT_EQ(attr(fwDef, "isMaster"), "1");
    // Every manager entry is a framework/ini task.
    std::vector<std::string> entries;
    YW_frw_cfg_element_t *tc = YW_frw_searchCfgElement(sys.base, "taskConf", nullptr);
    for (auto *t = YW_frw_searchCfgElement(tc, "taskDef", nullptr); t; t = YW_frw_searchCfgElement(tc, "taskDef", t))
        entries.push_back(attr(t, "functionName") + "/" + attr(t, "category"));
    for (const char *e : {"YW_task_tsm_main", "YW_timer_tsm_main", "YW_sync_ssm_main", "YW_dym_dsm_main",
                          "YW_ipc_ism_main", "YW_frw_node_mng_task"}) {
        bool found = false;
        for (const auto &s : entries)
            found = found || s.rfind(std::string(e) + "/", 0) == 0;
        EXPECT_TRUE(found) << e;
    }
    YW_frw_cfg_unload(&sys);
    YW_frw_cfg_unload(&app);
}

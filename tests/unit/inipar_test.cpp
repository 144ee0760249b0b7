#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <tuple>

#include "inipar/inipar.h"

using namespace std::literals;

namespace {

// A context whose hooks count blocks and refuse every allocation from
// fail_after on; deinit must return every block. Each parse call must report
// INIPAR_ENOMEM exactly when an allocation was refused during it.
struct parser {
    long allocs = 0, frees = 0, refused = 0, fail_after = -1;
    inipar_ctx ctx;
    parser()
    {
        auto alloc = [](void *user_data, std::size_t size) -> void * {
            auto *p = static_cast<parser *>(user_data);
            bool refuse = p->fail_after >= 0 && p->allocs >= p->fail_after;
            (refuse ? p->refused : p->allocs)++;
            return refuse ? nullptr : std::malloc(size);
        };
        auto free = [](void *user_data, void *block) {
            static_cast<parser *>(user_data)->frees++;
            std::free(block);
        };
        EXPECT_EQ(inipar_init(&ctx, alloc, free, this), 0);
    }
    ~parser()
    {
        EXPECT_EQ(inipar_deinit(&ctx), 0);
        EXPECT_EQ(allocs, frees);
    }
    void parse(std::string_view text, std::uint32_t flags = 0, bool per_line = false)
    {
        for (std::size_t start = 0, end; start < text.size(); start = end) {
            end = per_line ? std::min(text.find('\n', start), text.size() - 1) + 1 : text.size();
            long before = refused;
            long res = inipar_parse_data_ex(&ctx, nullptr, text.data() + start, end - start, flags);
            EXPECT_EQ(res, refused > before ? INIPAR_ENOMEM : INIPAR_OK);
        }
    }
};

// The flat list as "name=value;" items, then "|" and the tree as "name",
// "name=value" and "name{children}" separated by blanks. "!" marks an item
// whose links, parent or terminators are wrong.
std::string dump(inipar_ctx *ctx, inipar_tree_node *parent = nullptr, bool pairs = true)
{
    std::string out;
    for (inipar_kv *kv = pairs ? inipar_kv_iter(ctx, nullptr) : nullptr; kv != nullptr;
         kv = inipar_kv_iter(ctx, kv)) {
        if (kv->link.next->prev != &kv->link || kv->name[kv->name_len] || kv->value[kv->value_len])
            out += "!";
        out += std::string(kv->name, kv->name_len) + "=" + std::string(kv->value, kv->value_len) + ";";
    }
    out += pairs ? "|" : "";
    for (inipar_tree_node *n = inipar_kv_tree_iter(ctx, parent, nullptr); n != nullptr;
         n = inipar_kv_tree_iter(ctx, parent, n)) {
        out += out.empty() || out.back() == '|' ? "" : " ";
        if (n->parent != parent || n->link.next->prev != &n->link || n->name[n->name_len] != '\0')
            out += "!";
        out += std::string(n->name, n->name_len);
        if (n->value != nullptr)
            out += "=" + std::string(n->value, n->value_len);
        if (n->children.next != &n->children)
            out += "{" + dump(ctx, n, false) + "}";
    }
    return out;
}

} // namespace

// The daemon feeds one line per call: a section header then governs nothing,
// and an item cannot continue on the next line.
TEST(IniparTest, TokenizerRules)
{
    const std::tuple<bool, std::string_view, std::string_view> rows[] = {  // one line per call?
        {false, "; comment\n  # indented\n\n \t\r\n", "|"},
        {false, "a = 1\r\nb=2\r\n", "a=1;b=2;|a=1 b=2"},
        {false, "a = x;y #z\nb = ;c d\nc = 1#2\n", "a=x;y;b=;c;c=1#2;|a=x;y b=;c c=1#2"},
        {false, "a =  \t\nb = \"\"\n", "b=;|b="},
        {false, "a = two words\nb = \"two words\" tail\n", "a=two;b=two words;|a=two b=two words"},
        {false, R"(a = "x\"y" b)" "\n" R"(b = "x\\"y)" "\n", R"(a=x\"y;b=x\\;|a=x\"y b=x\\)"},
        {false, "q = \"one\ntwo;#=\"\n", "q=one\ntwo;#=;|q=one\ntwo;#="},
        {false, "a = 'q r'\nb'c = 1\nk \t= \t v\n", "a='q;b=1;k=v;|a='q b=1 k=v"},
        {false, "= 1\n[s]\n= 2\n", "=1;s.=2;|s"},
        {false, "key\nk2 = v\n", "key=v;|key=v"},
        {true, "key\nk2 = v\n", "k2=v;|k2=v"},
        {true, "a = \"x\ny\"\n", "|"},
        {false, "a..b = 1\n.c = 2\nd. = 3\n", "a..b=1;.c=2;d.=3;|a{b=1} c=2 d"},
        {false, "a = 1\na.b = 2\n", "a=1;a.b=2;|a=1{b=2}"},
        {false, "[a b]\nk = 1\n[ c]\nj = 2\n", "a.k=1;j=2;|a{k=1} j=2"},
        {false, "[a\nk = 1]\nj = 2\n[b\nm = 3\n", "a.j=2;|a{j=2}"},
        {false, "[log]\nenable = yes\nsyslog.startup = no\n[]\nport = 1\n",
         "log.enable=yes;log.syslog.startup=no;port=1;|log{enable=yes syslog{startup=no}} port=1"},
        {true, "[log]\nenable = yes\nsyslog.startup = no\n[]\nport = 1\n",
         "enable=yes;syslog.startup=no;port=1;|enable=yes syslog{startup=no} port=1"},
        {false, "a = 1", "|"}, {false, "a = 1 ", "a=1;|a=1"}, {false, "a", "|"},
        {false, "a = \"x", "|"}, {false, "a = \"x\"", "a=x;|a=x"},
        {false, "a\0b = v\0w\n"sv, "a\0b=v\0w;|a\0b=v\0w"sv},
        {false, "x = \x80\xff\n", "x=\x80\xff;|x=\x80\xff"},
    };
    for (const auto &[per_line, text, want] : rows) {
        SCOPED_TRACE(std::string(text) + (per_line ? " (one line per call)" : ""));
        parser p;
        p.parse(text, 0, per_line);
        EXPECT_EQ(dump(&p.ctx), want);
    }
}

// The flat list keeps every definition; in the tree a later one replaces the
// earlier one (and its subtree) only with INIPAR_FLAG_REPLACE.
TEST(IniparTest, ReplaceOrFirstDefinitionWins)
{
    const std::tuple<std::uint32_t, std::string_view, std::string_view, long> rows[] = {
        {0, "a = 1\nb = 2\na = 3\n", "a=1;b=2;a=3;|a=1 b=2", 0},  // blocks freed last
        {0xFFFFFFFE, "a = 1\nb = 2\na = 3\n", "a=1;b=2;a=3;|a=1 b=2", 0},
        {INIPAR_FLAG_REPLACE, "a = 1\nb = 2\na = 3\n", "a=1;b=2;a=3;|b=2 a=3", 1},
        {INIPAR_FLAG_REPLACE, "s.x = 1\ns.y.z = 2\nt = 0\ns = 3\n", "s.x=1;s.y.z=2;t=0;s=3;|t=0 s=3", 4},
        {0, "s.x = 1\ns.y.z = 2\nt = 0\ns = 3\n", "s.x=1;s.y.z=2;t=0;s=3;|s{x=1 y{z=2}} t=0", 0},
        {INIPAR_FLAG_REPLACE, "s = 3\ns.x = 1\n", "s=3;s.x=1;|s=3{x=1}", 0},
    };
    for (const auto &[flags, text, want, freed] : rows) {
        for (bool per_line : {false, true}) {
            SCOPED_TRACE(std::string(text) + (per_line ? "per line, flags " : "flags ") +
                         std::to_string(flags));
            parser p;
            p.parse(text, flags, per_line);
            EXPECT_EQ(dump(&p.ctx), want);
            EXPECT_EQ(p.frees, freed);
        }
    }
}

TEST(IniparTest, IterationAndLookup)
{
    parser p;
    p.parse("a.x = 1\nb.y = 2\na.x = 3\n");
    inipar_tree_node *a = inipar_find_tree_node(&p.ctx, nullptr, "a", 1);
    inipar_tree_node *b = inipar_find_tree_node(&p.ctx, nullptr, "bz", 1);  // length counts
    ASSERT_TRUE(a != nullptr && b != nullptr);
    inipar_tree_node *x = inipar_kv_tree_iter(&p.ctx, a, nullptr);
    EXPECT_EQ(inipar_kv_tree_iter(&p.ctx, b, x), nullptr);  // x is not b's child
    EXPECT_EQ(inipar_kv_tree_iter(&p.ctx, nullptr, x), nullptr);
    EXPECT_EQ(inipar_find_tree_node(&p.ctx, nullptr, "a.x", 3), nullptr);
    EXPECT_EQ(inipar_find_key(&p.ctx, "b"), nullptr);
    EXPECT_STREQ(inipar_find_key(&p.ctx, "a.x")->value, "1");  // the first definition
    inipar_free_tree_node(&p.ctx, b);  // the flat list keeps its pairs
    EXPECT_EQ(p.frees, 2);
    EXPECT_EQ(dump(&p.ctx), "a.x=1;b.y=2;a.x=3;|a{x=1}");
}

TEST(IniparTest, VeryLongNamesAndDeepTrees)
{
    parser p;
    std::string key(100000, 'k'), value(100000, 'v'), deep;
    p.parse(key + " = " + value + "\n");
    ASSERT_NE(inipar_find_key(&p.ctx, key.c_str()), nullptr);
    EXPECT_EQ(inipar_find_key(&p.ctx, key.c_str())->value, value);
    EXPECT_EQ(inipar_find_tree_node(&p.ctx, nullptr, key.data(), key.size())->value, value);
    // Twenty thousand levels: building and freeing must not depend on the stack.
    for (int i = 0; i < 20000; i++)
        deep += "d.";
    p.parse(deep + "leaf = 1\n", INIPAR_FLAG_REPLACE);
    int depth = 0;
    inipar_tree_node *n = inipar_find_tree_node(&p.ctx, nullptr, "d", 1);
    for (; n != nullptr && n->value == nullptr; n = inipar_kv_tree_iter(&p.ctx, n, nullptr))
        depth++;
    EXPECT_EQ(depth, 20000);
    p.parse("d = 0\n", INIPAR_FLAG_REPLACE);
    EXPECT_EQ(p.frees, 20001);
}

// Memory runs out after every possible number of blocks: each call says so (the
// parser checks that), what was built stays consistent, deinit returns all.
TEST(IniparTest, AllocationFailureAtEveryPoint)
{
    constexpr std::string_view text = "[log]\nenable = yes\nsyslog.startup = no\n[]\nbind_port = 123\n"
                                      "a.b.c = 1\na.b = 2\nbind_port = 124\ns.x = 1\ns = 2\n";
    for (bool per_line : {false, true}) {
        parser ref;
        ref.parse(text, INIPAR_FLAG_REPLACE, per_line);
        const std::string all = dump(&ref.ctx);
        const std::string all_pairs = all.substr(0, all.find('|'));
        for (long n = 0; n < ref.allocs; n++) {
            SCOPED_TRACE((per_line ? "per line, failing from " : "failing from ") + std::to_string(n));
            parser p;
            p.fail_after = n;
            p.parse(text, INIPAR_FLAG_REPLACE, per_line);
            EXPECT_GT(p.refused, 0);
            std::string got = dump(&p.ctx), pairs = got.substr(0, got.find('|'));
            EXPECT_EQ(got.find('!'), std::string::npos) << got;
            EXPECT_EQ(all_pairs.compare(0, pairs.size(), pairs), 0) << pairs;
        }
    }
}

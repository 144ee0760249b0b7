#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "inipar/inipar.h"

using namespace std::literals;

namespace {

// Hooks that count blocks and refuse every allocation from fail_after on.
struct hook_counts {
    long allocs = 0, frees = 0, refused = 0, fail_after = -1;
};

void *count_alloc(void *user_data, std::size_t size)
{
    auto *h = static_cast<hook_counts *>(user_data);
    bool refuse = h->fail_after >= 0 && h->allocs >= h->fail_after;
    (refuse ? h->refused : h->allocs)++;
    return refuse ? nullptr : std::malloc(size);
}

void count_free(void *user_data, void *block)
{
    static_cast<hook_counts *>(user_data)->frees++;
    std::free(block);
}

// A context whose every block must be returned by deinit. Each parse call must
// report INIPAR_ENOMEM exactly when the hook refused an allocation during it.
struct parser {
    hook_counts h;
    inipar_ctx ctx;
    parser() { EXPECT_EQ(inipar_init(&ctx, count_alloc, count_free, &h), 0); }
    ~parser()
    {
        EXPECT_EQ(inipar_deinit(&ctx), 0);
        EXPECT_EQ(h.allocs, h.frees);
    }
    void parse(std::string_view text, std::uint32_t flags = 0, bool per_line = false)
    {
        for (std::size_t start = 0; start < text.size();) {
            std::size_t end = per_line ? text.find('\n', start) + 1 : text.size();
            end = end == 0 ? text.size() : end;
            long refused = h.refused;
            long res = inipar_parse_data_ex(&ctx, nullptr, text.data() + start, end - start, flags);
            EXPECT_EQ(res, h.refused > refused ? INIPAR_ENOMEM : INIPAR_OK);
            start = end;
        }
    }
};

// The flat list as "name=value;" items; "!" marks a broken link or terminator.
std::string dump_pairs(inipar_ctx *ctx)
{
    std::string out;
    for (inipar_kv *kv = inipar_kv_iter(ctx, nullptr); kv != nullptr; kv = inipar_kv_iter(ctx, kv)) {
        if (kv->link.next->prev != &kv->link || kv->name[kv->name_len] != '\0' ||
            kv->value[kv->value_len] != '\0')
            out += "!";
        out += std::string(kv->name, kv->name_len) + "=" + std::string(kv->value, kv->value_len) + ";";
    }
    return out;
}

// The tree as "name", "name=value" and "name{children}", siblings separated by
// blanks; "!" marks a node whose links or parent pointer are wrong.
std::string dump_tree(inipar_ctx *ctx, inipar_tree_node *parent = nullptr)
{
    std::string out;
    for (inipar_tree_node *n = inipar_kv_tree_iter(ctx, parent, nullptr); n != nullptr;
         n = inipar_kv_tree_iter(ctx, parent, n)) {
        out += out.empty() ? "" : " ";
        if (n->parent != parent || n->link.next->prev != &n->link || n->name[n->name_len] != '\0')
            out += "!";
        out += std::string(n->name, n->name_len);
        if (n->value != nullptr)
            out += "=" + std::string(n->value, n->value_len);
        if (n->children.next != &n->children)
            out += "{" + dump_tree(ctx, n) + "}";
    }
    return out;
}

struct parse_row {
    std::string_view text, pairs, tree;
};

void check_rows(const std::vector<parse_row> &rows, bool per_line)
{
    for (const parse_row &r : rows) {
        SCOPED_TRACE(std::string(r.text) + (per_line ? " (one line per call)" : ""));
        parser p;
        p.parse(r.text, 0, per_line);
        EXPECT_EQ(dump_pairs(&p.ctx), r.pairs);
        EXPECT_EQ(dump_tree(&p.ctx), r.tree);
    }
}

} // namespace

TEST(IniparTest, TokenizerRules)
{
    check_rows({
        {"; comment\n  # indented\n\n \t\r\n", "", ""},
        {"a = 1\r\nb=2\r\n", "a=1;b=2;", "a=1 b=2"},
        {"a = x;y #z\nb = ;c d\nc = 1#2\n", "a=x;y;b=;c;c=1#2;", "a=x;y b=;c c=1#2"},
        {"a =  \t\nb = \"\"\n", "b=;", "b="},
        {"a = two words\nb = \"two words\" tail\n", "a=two;b=two words;", "a=two b=two words"},
        {R"(a = "x\"y" b)" "\n" R"(b = "x\\"y)" "\n", R"(a=x\"y;b=x\\;)", R"(a=x\"y b=x\\)"},
        {"q = \"one\ntwo;#=\"\n", "q=one\ntwo;#=;", "q=one\ntwo;#="},
        {"a = 'q r'\nb'c = 1\nk \t= \t v\n", "a='q;b=1;k=v;", "a='q b=1 k=v"},
        {"= 1\n[s]\n= 2\n", "=1;s.=2;", "s"},
        {"key\nk2 = v\n", "key=v;", "key=v"},
        {"a..b = 1\n.c = 2\nd. = 3\n", "a..b=1;.c=2;d.=3;", "a{b=1} c=2 d"},
        {"a = 1\na.b = 2\n", "a=1;a.b=2;", "a=1{b=2}"},
        {"[a b]\nk = 1\n[ c]\nj = 2\n", "a.k=1;j=2;", "a{k=1} j=2"},
        {"[a\nk = 1]\nj = 2\n[b\nm = 3\n", "a.j=2;", "a{j=2}"},
        {"a = 1", "", ""}, {"a = 1 ", "a=1;", "a=1"}, {"a", "", ""},
        {"a = \"x", "", ""}, {"a = \"x\"", "a=x;", "a=x"},
        {"a\0b = v\0w\n"sv, "a\0b=v\0w;"sv, "a\0b=v\0w"sv},
        {"x = \x80\xff\n", "x=\x80\xff;", "x=\x80\xff"},
    }, false);
}

// The daemon feeds one line per call: a header then governs nothing, and an
// item cannot continue on the next line.
TEST(IniparTest, SectionsLastOneCallOnly)
{
    constexpr std::string_view text = "[log]\nenable = yes\nsyslog.startup = no\n[]\nbind_port = 123\n";
    check_rows({{text, "log.enable=yes;log.syslog.startup=no;bind_port=123;",
                 "log{enable=yes syslog{startup=no}} bind_port=123"}}, false);
    check_rows({{text, "enable=yes;syslog.startup=no;bind_port=123;",
                 "enable=yes syslog{startup=no} bind_port=123"},
                {"key\nk2 = v\n", "k2=v;", "k2=v"},
                {"a = \"x\ny\"\n", "", ""}}, true);
}

TEST(IniparTest, ReplaceOrFirstDefinitionWins)
{
    // flags, text, tree, blocks freed, a full name and its first definition
    const std::tuple<std::uint32_t, std::string_view, std::string_view, long, const char *,
                     const char *> rows[] = {
        {0, "a = 1\nb = 2\na = 3\n", "a=1 b=2", 0, "a", "1"},
        {0xFFFFFFFE, "a = 1\nb = 2\na = 3\n", "a=1 b=2", 0, "a", "1"},
        {INIPAR_FLAG_REPLACE, "a = 1\nb = 2\na = 3\n", "b=2 a=3", 1, "a", "1"},
        {INIPAR_FLAG_REPLACE, "s.x = 1\ns.y.z = 2\nt = 0\ns = 3\n", "t=0 s=3", 4, "s.y.z", "2"},
        {0, "s.x = 1\ns.y.z = 2\nt = 0\ns = 3\n", "s{x=1 y{z=2}} t=0", 0, "s", "3"},
        {INIPAR_FLAG_REPLACE, "s = 3\ns.x = 1\n", "s=3{x=1}", 0, "s.x", "1"},
    };
    for (const auto &[flags, text, tree, freed, name, first] : rows) {
        for (bool per_line : {false, true}) {
            SCOPED_TRACE(std::string(text) + (per_line ? "per line, flags " : "flags ") +
                         std::to_string(flags));
            parser p;
            p.parse(text, flags, per_line);
            EXPECT_EQ(dump_tree(&p.ctx), tree);
            EXPECT_EQ(p.h.frees, freed);
            std::string pairs = dump_pairs(&p.ctx);  // keeps every definition
            EXPECT_EQ(std::count(pairs.begin(), pairs.end(), ';'),
                      std::count(text.begin(), text.end(), '\n'));
            inipar_kv *kv = inipar_find_key(&p.ctx, name);
            ASSERT_NE(kv, nullptr);
            EXPECT_STREQ(kv->value, first);
        }
    }
}

TEST(IniparTest, IterationAndLookup)
{
    parser p;
    p.parse("a.x = 1\nb.y = 2\n");
    inipar_tree_node *a = inipar_find_tree_node(&p.ctx, nullptr, "a", 1);
    inipar_tree_node *b = inipar_find_tree_node(&p.ctx, nullptr, "bz", 1);  // length counts
    ASSERT_TRUE(a != nullptr && b != nullptr);
    inipar_tree_node *x = inipar_kv_tree_iter(&p.ctx, a, nullptr);
    EXPECT_EQ(inipar_kv_tree_iter(&p.ctx, b, x), nullptr);  // x is not b's child
    EXPECT_EQ(inipar_kv_tree_iter(&p.ctx, nullptr, x), nullptr);
    EXPECT_EQ(inipar_find_tree_node(&p.ctx, nullptr, "a.x", 3), nullptr);
    EXPECT_EQ(inipar_find_key(&p.ctx, "b"), nullptr);
    inipar_free_tree_node(&p.ctx, b);  // the flat list keeps its pairs
    EXPECT_EQ(p.h.frees, 2);
    EXPECT_EQ(dump_tree(&p.ctx) + " " + dump_pairs(&p.ctx), "a{x=1} a.x=1;b.y=2;");
}

TEST(IniparTest, ArgumentErrors)
{
    hook_counts h;
    inipar_ctx ctx{};
    EXPECT_EQ(inipar_parse_data(&ctx, nullptr, "a = 1\n", 6), 1);  // never initialised
    EXPECT_EQ(inipar_init(nullptr, count_alloc, count_free, &h), 1);
    EXPECT_EQ(inipar_init(&ctx, nullptr, count_free, &h), 1);
    EXPECT_EQ(inipar_deinit(nullptr), 2);
    EXPECT_EQ(inipar_parse_data(nullptr, nullptr, "a = 1\n", 6), 1);
    ASSERT_EQ(inipar_init(&ctx, count_alloc, nullptr, &h), 0);
    EXPECT_EQ(inipar_parse_data(&ctx, nullptr, nullptr, 6), 1);
    EXPECT_EQ(inipar_parse_data(&ctx, nullptr, "a = 1\n", 0), 0);
    EXPECT_EQ(inipar_parse_data(&ctx, nullptr, "a = 1\n", 6), 0);
    EXPECT_EQ(h.allocs, 2);
    EXPECT_EQ(inipar_deinit(&ctx), 2);  // no free hook: nothing is released
    EXPECT_EQ(h.frees, 0);
    ctx.free = count_free;
    EXPECT_EQ(inipar_deinit(&ctx), 0);
    EXPECT_EQ(h.frees, 2);
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
    EXPECT_EQ(p.h.frees, 20001);
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
        const std::string all_pairs = dump_pairs(&ref.ctx);
        for (long n = 0; n < ref.h.allocs; n++) {
            SCOPED_TRACE((per_line ? "per line, failing from " : "failing from ") + std::to_string(n));
            parser p;
            p.h.fail_after = n;
            p.parse(text, INIPAR_FLAG_REPLACE, per_line);
            EXPECT_GT(p.h.refused, 0);
            std::string pairs = dump_pairs(&p.ctx), tree = dump_tree(&p.ctx);
            EXPECT_EQ((pairs + tree).find('!'), std::string::npos) << pairs << tree;
            EXPECT_EQ(all_pairs.compare(0, pairs.size(), pairs), 0) << pairs;
        }
    }
}

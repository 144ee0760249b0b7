// The INI parser: tokenizer, tree, replace rule.

#include "inipar/inipar.h"
#include "support.h"

using namespace std::literals;

namespace {

// Hooks that count blocks: deinit must return every one.
struct parser {
    long allocs = 0, frees = 0;
    inipar_ctx ctx;
    parser()
    {
        auto alloc = [](void *u, std::size_t size) { return static_cast<parser *>(u)->allocs++, std::malloc(size); };
        auto release = [](void *u, void *block) { static_cast<parser *>(u)->frees++, std::free(block); };
        EXPECT_EQ(inipar_init(&ctx, alloc, release, this), 0);
    }
    ~parser()
    {
        EXPECT_EQ(inipar_deinit(&ctx), 0);
        EXPECT_EQ(allocs, frees);
    }
    void parse(std::string_view text, std::uint32_t flags, bool per_line)
    {
        for (std::size_t at = 0, end; at < text.size(); at = end) {
            end = per_line ? std::min(text.find('\n', at), text.size() - 1) + 1 : text.size();
            EXPECT_EQ(inipar_parse_data_ex(&ctx, nullptr, &text[at], end - at, flags), INIPAR_OK);
        }
    }
    // "name=value;" per pair, "|", then the tree: "name", "name=value", "name{...}";
    // "!" marks wrong links, parents or terminators.
    std::string dump(inipar_tree_node *parent = nullptr, bool pairs = true)
    {
        std::string out;
        for (inipar_kv *kv = pairs ? inipar_kv_iter(&ctx, nullptr) : nullptr; kv; kv = inipar_kv_iter(&ctx, kv))
            out.append(kv->link.next->prev != &kv->link || kv->name[kv->name_len] || kv->value[kv->value_len] ? "!" : "")
                .append(kv->name, kv->name_len).append("=").append(kv->value, kv->value_len).append(";");
        out += pairs ? "|" : "";
        for (auto *n = inipar_kv_tree_iter(&ctx, parent, nullptr); n; n = inipar_kv_tree_iter(&ctx, parent, n)) {
            out += out.empty() || out.back() == '|' ? "" : " ";
            out += n->parent != parent || n->link.next->prev != &n->link || n->name[n->name_len] ? "!" : "";
            out.append(n->name, n->name_len).append(n->value ? "=" : "").append(n->value ? n->value : "", n->value_len);
            if (n->children.next != &n->children)
                out.append("{").append(dump(n, false)).append("}");
        }
        return out;
    }
};

} // namespace

// The daemon feeds one line per call (P): a section header then governs
// nothing, and an item cannot go on to the next line. R: the replace flag.
TEST(IniparTest, TokenizerTreeAndReplaceRules)
{
    const std::tuple<const char *, std::string_view, std::string_view, long> rows[] = {
        // flags, text, lists, blocks freed before deinit
        {"", "; comment\n  # indented\n\n \t\r\na = 1\r\nb=2\r\n", "a=1;b=2;|a=1 b=2", 0},
        {"", "a = x;y #z\nb = ;c d\nc = 1#2\n", "a=x;y;b=;c;c=1#2;|a=x;y b=;c c=1#2", 0},
        {"", "a =  \t\nb = \"\"\nc = two words\nd = \"two words\" tail\n", "b=;c=two;d=two words;|b= c=two d=two words",
         0},
        {"", R"(a = "x\"y" b)" "\n" R"(b = "x\\"y)" "\n", R"(a=x\"y;b=x\\;|a=x\"y b=x\\)", 0},
        {"P", "a = \"x\ny\"\n", "|", 0},
        {"", "key\nk2 = v\n", "key=v;|key=v", 0}, {"P", "key\nk2 = v\n", "k2=v;|k2=v", 0},
        {"", "a..b = 1\n.c = 2\nd. = 3\n", "a..b=1;.c=2;d.=3;|a{b=1} c=2 d", 0},
        {"", "[a b]\nk = 1\n[ c]\nj = 2\n[d\nm = 3]\n", "a.k=1;j=2;|a{k=1} j=2", 0},
        {"", "[log]\nenable = yes\nsyslog.startup = no\n[]\nport = 1\n",
         "log.enable=yes;log.syslog.startup=no;port=1;|log{enable=yes syslog{startup=no}} port=1", 0},
        {"", "a = 1", "|", 0}, {"", "a = 1 ", "a=1;|a=1", 0}, {"", "a\0b = v\0w\n"sv, "a\0b=v\0w;|a\0b=v\0w"sv, 0},
        {"", "a = 1\nb = 2\na = 3\n", "a=1;b=2;a=3;|a=1 b=2", 0},
        {"RP", "s.x = 1\ns.y.z = 2\nt = 0\ns = 3\n", "s.x=1;s.y.z=2;t=0;s=3;|t=0 s=3", 4},
        {"P", "s.x = 1\ns.y.z = 2\nt = 0\ns = 3\n", "s.x=1;s.y.z=2;t=0;s=3;|s{x=1 y{z=2}} t=0", 0},
        {"R", "s = 3\ns.x = 1\n", "s=3;s.x=1;|s=3{x=1}", 0},
    };
    for (const auto &[flags, text, want, freed] : rows) {
        parser p;
        p.parse(text, std::strchr(flags, 'R') ? INIPAR_FLAG_REPLACE : 0, std::strchr(flags, 'P'));
        EXPECT_EQ(p.dump(), want) << text << flags;
        EXPECT_EQ(p.frees, freed) << text << flags;
    }
    parser p;  // nodes need a context and a name, value nodes a value
    EXPECT_TRUE(!inipar_add_subnode(&p.ctx, nullptr, nullptr, 0) && !inipar_add_subnode(nullptr, nullptr, "v", 1));
    EXPECT_TRUE(!inipar_add_valuenode(&p.ctx, nullptr, "v", 1, nullptr, 0) &&
                !inipar_add_valuenode(&p.ctx, nullptr, nullptr, 0, "w", 1) && !inipar_add_valuenode(nullptr, nullptr, "v", 1, "w", 1));
}

#include "inipar.h"

#include <cstring>
#include <string_view>

namespace {

// Tokenizer states, kept in inipar_ctx::state. A call's data may end in any of
// them; an item that was not emitted by then is dropped.
enum class tok_state : std::uint64_t {
    line_start = 0,
    comment = 1,
    key = 2,
    equals = 3,
    value_start = 4,
    quoted = 5,
    plain = 6,
    emit = 7,
    section = 8,
    section_end = 9,
};

void go(inipar_ctx *ctx, tok_state next)
{
    ctx->state = static_cast<std::uint64_t>(next);
}

constexpr bool is_line_end(unsigned char c)
{
    return c == '\n' || c == '\r';
}

// Space and 0x09..0x0D: line ends count as blanks.
constexpr bool is_blank(unsigned char c)
{
    return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

constexpr bool is_inline_blank(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

constexpr bool is_name_stop(unsigned char c)
{
    return c == '=' || c == ']' || c == '[' || c == '\'' || c == '"' || is_blank(c);
}

// Room for a string copy with its terminator, padded to 8 bytes.
constexpr std::size_t padded(std::size_t len)
{
    return (len + 1 + 7) & ~std::size_t{7};
}

// Size of a record block with two strings; 0 when it does not fit a size_t.
std::size_t block_size(std::size_t record, std::size_t len_a, std::size_t len_b)
{
    constexpr std::size_t max_len = static_cast<std::size_t>(-1) / 4;
    if (len_a > max_len || len_b > max_len)
        return 0;
    return record + padded(len_a) + padded(len_b);
}

inipar_kv *as_kv(inipar_list *l)
{
    return reinterpret_cast<inipar_kv *>(l);
}

inipar_tree_node *as_node(inipar_list *l)
{
    return reinterpret_cast<inipar_tree_node *>(l);
}

void list_init(inipar_list *head)
{
    head->next = head;
    head->prev = head;
}

void list_append(inipar_list *head, inipar_list *l)
{
    l->prev = head->prev;
    l->next = head;
    head->prev->next = l;
    head->prev = l;
}

void list_unlink(inipar_list *l)
{
    l->prev->next = l->next;
    l->next->prev = l->prev;
    l->next = l;
    l->prev = l;
}

inipar_list *children_of(inipar_ctx *ctx, inipar_tree_node *parent)
{
    return parent != nullptr ? &parent->children : &ctx->root;
}

// Copy len bytes and a terminator to dst; returns the byte after the padding.
char *put_string(char *dst, const void *src, std::size_t len)
{
    if (len > 0)
        std::memcpy(dst, src, len);
    dst[len] = '\0';
    return dst + padded(len);
}

inipar_tree_node *make_node(inipar_ctx *ctx, inipar_tree_node *parent, const char *name,
                            std::size_t name_len, const char *value, std::size_t value_len)
{
    std::size_t size = block_size(sizeof(inipar_tree_node), name_len, value_len);
    if (size == 0)
        return nullptr;
    auto *node = static_cast<inipar_tree_node *>(ctx->alloc(ctx->user_data, size));
    if (node == nullptr)
        return nullptr;
    *node = inipar_tree_node{};
    list_init(&node->children);
    node->parent = parent;
    char *p = reinterpret_cast<char *>(node + 1);
    node->name = p;
    node->name_len = name_len;
    p = put_string(p, name, name_len);
    if (value != nullptr) {
        node->value = p;
        node->value_len = value_len;
        put_string(p, value, value_len);
    }
    list_append(children_of(ctx, parent), &node->link);
    return node;
}

// Free node and its subtree without recursion: names with thousands of dots
// make deep trees, and the stack must not depend on the input.
void free_subtree(inipar_ctx *ctx, inipar_tree_node *node)
{
    inipar_tree_node *cur = node;
    for (;;) {
        while (cur->children.next != &cur->children)
            cur = as_node(cur->children.next);
        inipar_tree_node *up = cur->parent;
        bool done = cur == node;
        list_unlink(&cur->link);
        ctx->free(ctx->user_data, cur);
        if (done)
            return;
        cur = up;
    }
}

bool emit_pair(inipar_ctx *ctx)
{
    std::size_t name_len = ctx->section_len + ctx->key_len;
    std::size_t size = block_size(sizeof(inipar_kv), name_len, ctx->value_len);
    if (size == 0)
        return false;
    auto *kv = static_cast<inipar_kv *>(ctx->alloc(ctx->user_data, size));
    if (kv == nullptr)
        return false;
    *kv = inipar_kv{};
    char *p = reinterpret_cast<char *>(kv + 1);
    kv->name = p;
    kv->name_len = name_len;
    if (ctx->section_len > 0) {
        std::memcpy(p, ctx->section, ctx->section_len - 1);
        p[ctx->section_len - 1] = '.';
    }
    if (ctx->key_len > 0)
        std::memcpy(p + ctx->section_len, ctx->key, ctx->key_len);
    p[name_len] = '\0';
    p += padded(name_len);
    kv->value = p;
    kv->value_len = ctx->value_len;
    put_string(p, ctx->value, ctx->value_len);
    list_append(&ctx->pairs, &kv->link);
    return true;
}

void advance(inipar_ctx *ctx)
{
    ctx->pos++;
    ctx->remaining--;
}

// Move the cursor while pred holds; false when the data ran out.
bool skip_while(inipar_ctx *ctx, bool (*pred)(unsigned char))
{
    while (ctx->remaining > 0 && pred(*ctx->pos))
        advance(ctx);
    return ctx->remaining > 0;
}

// Phase 1: read the call's data into pairs. False when an allocation failed.
bool tokenize(inipar_ctx *ctx)
{
    auto not_line_end = [](unsigned char c) { return !is_line_end(c); };
    for (;;) {
        switch (static_cast<tok_state>(ctx->state)) {
        case tok_state::line_start:
            if (!skip_while(ctx, is_blank))
                return true;
            if (*ctx->pos == ';' || *ctx->pos == '#')
                go(ctx, tok_state::comment);
            else if (*ctx->pos == '[')
                go(ctx, tok_state::section);
            else
                go(ctx, tok_state::key);
            break;
        case tok_state::comment:
            if (!skip_while(ctx, not_line_end))
                return true;
            go(ctx, tok_state::line_start);
            break;
        case tok_state::key:
            ctx->key = ctx->pos;
            if (!skip_while(ctx, [](unsigned char c) { return !is_name_stop(c); }))
                return true;
            ctx->key_len = static_cast<std::size_t>(ctx->pos - ctx->key);
            go(ctx, tok_state::equals);
            break;
        case tok_state::equals:
            if (!skip_while(ctx, [](unsigned char c) { return c != '='; }))
                return true;
            advance(ctx);
            go(ctx, tok_state::value_start);
            break;
        case tok_state::value_start:
            if (!skip_while(ctx, is_inline_blank))
                return true;
            if (is_line_end(*ctx->pos)) {
                go(ctx, tok_state::line_start);
            } else if (*ctx->pos == '"') {
                advance(ctx);
                ctx->value = ctx->pos;
                go(ctx, tok_state::quoted);
            } else {
                ctx->value = ctx->pos;
                go(ctx, tok_state::plain);
            }
            break;
        case tok_state::quoted: {
            // The value ends at the first quote not escaped by an odd run of
            // backslashes; the backslashes stay in the value.
            std::size_t backslashes = 0;
            while (ctx->remaining > 0 && !(*ctx->pos == '"' && backslashes % 2 == 0)) {
                backslashes = *ctx->pos == '\\' ? backslashes + 1 : 0;
                advance(ctx);
            }
            if (ctx->remaining == 0)
                return true;
            ctx->value_len = static_cast<std::size_t>(ctx->pos - ctx->value);
            go(ctx, tok_state::emit);
            break;
        }
        case tok_state::plain:
            if (!skip_while(ctx, [](unsigned char c) { return !is_blank(c); }))
                return true;
            ctx->value_len = static_cast<std::size_t>(ctx->pos - ctx->value);
            go(ctx, tok_state::emit);
            break;
        case tok_state::emit:
            if (!emit_pair(ctx))
                return false;
            if (!skip_while(ctx, not_line_end))
                return true;
            go(ctx, tok_state::line_start);
            break;
        case tok_state::section:
            advance(ctx);
            ctx->key = ctx->pos;
            if (!skip_while(ctx, [](unsigned char c) { return !is_name_stop(c); }))
                return true;
            ctx->key_len = static_cast<std::size_t>(ctx->pos - ctx->key);
            go(ctx, tok_state::section_end);
            break;
        case tok_state::section_end:
            ctx->section = ctx->key;
            ctx->section_len = ctx->key_len > 0 ? ctx->key_len + 1 : 0;
            if (!skip_while(ctx, [](unsigned char c) { return c != ']'; }))
                return true;
            if (!skip_while(ctx, not_line_end))
                return true;
            go(ctx, tok_state::line_start);
            break;
        default:
            return true;
        }
    }
}

// Phase 2 for one pair: walk or make the subnodes of the dotted name, then
// add the value node. False when an allocation failed.
bool insert_pair(inipar_ctx *ctx, const inipar_kv *kv)
{
    std::string_view name(kv->name, kv->name_len);
    if (name.empty())
        return true;
    inipar_tree_node *node = ctx->parent;
    std::size_t start = 0;
    for (std::size_t dot; (dot = name.find('.', start)) != std::string_view::npos;) {
        std::string_view seg(name.data() + start, dot - start);
        start = dot + 1;
        if (seg.empty())
            continue;
        inipar_tree_node *child = inipar_find_tree_node(ctx, node, seg.data(), seg.size());
        if (child == nullptr) {
            child = make_node(ctx, node, seg.data(), seg.size(), nullptr, 0);
            if (child == nullptr)
                return false;
        }
        node = child;
    }
    std::string_view last(name.data() + start, name.size() - start);
    if (last.empty())
        return true;
    inipar_tree_node *old = inipar_find_tree_node(ctx, node, last.data(), last.size());
    if (old != nullptr) {
        if ((ctx->flags & INIPAR_FLAG_REPLACE) == 0)
            return true;
        inipar_free_tree_node(ctx, old);
    }
    return make_node(ctx, node, last.data(), last.size(), kv->value, kv->value_len) != nullptr;
}

} // namespace

long inipar_init(inipar_ctx *ctx, inipar_alloc_fn alloc, inipar_free_fn free, void *user_data)
{
    if (ctx == nullptr || alloc == nullptr)
        return INIPAR_EINVAL;
    *ctx = inipar_ctx{};
    ctx->alloc = alloc;
    ctx->free = free;
    ctx->user_data = user_data;
    list_init(&ctx->root);
    list_init(&ctx->pairs);
    return INIPAR_OK;
}

long inipar_deinit(inipar_ctx *ctx)
{
    if (ctx == nullptr || ctx->free == nullptr)
        return INIPAR_ENOFREE;
    inipar_free_tree_node(ctx, nullptr);
    while (ctx->pairs.next != &ctx->pairs) {
        inipar_list *l = ctx->pairs.next;
        list_unlink(l);
        ctx->free(ctx->user_data, as_kv(l));
    }
    return INIPAR_OK;
}

long inipar_parse_data_ex(inipar_ctx *ctx, inipar_tree_node *parent, const void *data,
                          std::size_t len, std::uint32_t flags)
{
    if (ctx == nullptr || data == nullptr || ctx->alloc == nullptr)
        return INIPAR_EINVAL;
    ctx->pos = static_cast<const unsigned char *>(data);
    ctx->remaining = len;
    ctx->parent = parent;
    ctx->flags = flags;
    ctx->first_new = ctx->pairs.prev;
    ctx->key = nullptr;
    ctx->key_len = 0;
    ctx->value = nullptr;
    ctx->value_len = 0;
    ctx->section = nullptr;
    ctx->section_len = 0;
    go(ctx, tok_state::line_start);

    bool complete = tokenize(ctx);
    for (inipar_list *l = ctx->first_new->next; l != &ctx->pairs; l = l->next) {
        if (!insert_pair(ctx, as_kv(l)))
            return INIPAR_ENOMEM;
    }
    return complete ? INIPAR_OK : INIPAR_ENOMEM;
}

long inipar_parse_data(inipar_ctx *ctx, inipar_tree_node *parent, const void *data, std::size_t len)
{
    return inipar_parse_data_ex(ctx, parent, data, len, 0);
}

inipar_kv *inipar_kv_iter(inipar_ctx *ctx, inipar_kv *prev)
{
    if (ctx == nullptr)
        return nullptr;
    inipar_list *l = prev != nullptr ? prev->link.next : ctx->pairs.next;
    return l == &ctx->pairs ? nullptr : as_kv(l);
}

inipar_kv *inipar_find_key(inipar_ctx *ctx, const char *name)
{
    if (name == nullptr)
        return nullptr;
    std::string_view want(name);
    for (inipar_kv *kv = inipar_kv_iter(ctx, nullptr); kv != nullptr;
         kv = inipar_kv_iter(ctx, kv)) {
        if (std::string_view(kv->name, kv->name_len) == want)
            return kv;
    }
    return nullptr;
}

inipar_tree_node *inipar_kv_tree_iter(inipar_ctx *ctx, inipar_tree_node *parent,
                                      inipar_tree_node *prev)
{
    if (ctx == nullptr)
        return nullptr;
    inipar_list *head = children_of(ctx, parent);
    inipar_list *l = head->next;
    if (prev != nullptr) {
        if (prev->parent != parent)
            return nullptr;
        l = prev->link.next;
    }
    return l == head ? nullptr : as_node(l);
}

inipar_tree_node *inipar_find_tree_node(inipar_ctx *ctx, inipar_tree_node *parent, const char *name,
                                        std::size_t len)
{
    if (ctx == nullptr || (name == nullptr && len > 0))
        return nullptr;
    inipar_list *head = children_of(ctx, parent);
    for (inipar_list *l = head->next; l != head; l = l->next) {
        inipar_tree_node *node = as_node(l);
        if (node->name_len == len && (len == 0 || std::memcmp(node->name, name, len) == 0))
            return node;
    }
    return nullptr;
}

inipar_tree_node *inipar_add_subnode(inipar_ctx *ctx, inipar_tree_node *parent, const char *name,
                                     std::size_t len)
{
    if (ctx == nullptr || ctx->alloc == nullptr || name == nullptr)
        return nullptr;
    return make_node(ctx, parent, name, len, nullptr, 0);
}

inipar_tree_node *inipar_add_valuenode(inipar_ctx *ctx, inipar_tree_node *parent, const char *name,
                                       std::size_t name_len, const char *value,
                                       std::size_t value_len)
{
    if (ctx == nullptr || ctx->alloc == nullptr || name == nullptr || value == nullptr)
        return nullptr;
    return make_node(ctx, parent, name, name_len, value, value_len);
}

void inipar_free_tree_node(inipar_ctx *ctx, inipar_tree_node *node)
{
    if (ctx == nullptr || ctx->free == nullptr)
        return;
    if (node != nullptr) {
        free_subtree(ctx, node);
        return;
    }
    while (ctx->root.next != &ctx->root)
        free_subtree(ctx, as_node(ctx->root.next));
}

// INI parser: turns INI text into a flat list of key/value pairs (in reading
// order, duplicates included) and a tree in which every dot of a full name
// opens one level. All memory comes from the two hooks given to inipar_init();
// each pair and each node is one block holding the record and its strings.
#ifndef QUORIX_INIPAR_H
#define QUORIX_INIPAR_H

#include <cstddef>
#include <cstdint>

// Flags of inipar_parse_data_ex(). With INIPAR_FLAG_REPLACE a later definition
// of a full name replaces the earlier node (and its subtree); without it the
// first definition stays.
constexpr std::uint32_t INIPAR_FLAG_REPLACE = 1;

// Results of the operations that return long.
constexpr long INIPAR_OK = 0;
constexpr long INIPAR_EINVAL = 1;  // null context or data, or no alloc hook
constexpr long INIPAR_ENOFREE = 2; // inipar_deinit(): null context or free hook
constexpr long INIPAR_ENOMEM = 3;  // a parse ran out of memory part-way

using inipar_alloc_fn = void *(*)(void *user_data, std::size_t size);
using inipar_free_fn = void (*)(void *user_data, void *block);

// Links of a circular doubly linked list. A list head is a sentinel link; the
// list is empty when the head points to itself. Records start with their link,
// so a link of a pair or node is also a pointer to that record.
struct inipar_list {
    inipar_list *next;
    inipar_list *prev;
};

// One key/value item, as read.
struct inipar_kv {
    inipar_list link; // in inipar_ctx::pairs
    char *name;       // "section.key" or "key"; NUL-terminated
    std::size_t name_len;
    char *value; // raw bytes between the delimiters; NUL-terminated
    std::size_t value_len;
};

// One node of the tree: a subnode (value null) or a value node.
struct inipar_tree_node {
    inipar_list link;         // among its siblings
    inipar_tree_node *parent; // null at the top level
    inipar_list children;
    char *name; // one path segment; NUL-terminated
    std::size_t name_len;
    char *value; // null for a subnode
    std::size_t value_len;
};

// The parser context. The caller owns its storage, which must not move
// between inipar_init() and inipar_deinit(): the list heads point into it.
struct inipar_ctx {
    std::uint64_t state; // tokenizer state 0..9, meaningful during a parse only
    void *user_data;
    inipar_alloc_fn alloc;
    inipar_free_fn free;
    const unsigned char *pos;
    std::size_t remaining;
    inipar_tree_node *parent;
    std::uint32_t flags;
    inipar_list *first_new; // last pair when the current call began (or the head)
    const unsigned char *key;
    std::size_t key_len;
    const unsigned char *value;
    std::size_t value_len;
    const unsigned char *section;
    std::size_t section_len; // name length + 1 for the dot; 0 = no section
    inipar_list root;        // top-level tree nodes
    inipar_list pairs;       // every pair ever read
};

// Zero-fill ctx and store the hooks. Returns 1 if ctx or alloc is null.
// A null free hook is accepted, but then no parse may use INIPAR_FLAG_REPLACE.
[[nodiscard]] long inipar_init(inipar_ctx *ctx, inipar_alloc_fn alloc, inipar_free_fn free,
                               void *user_data);

// Free the whole tree, then every pair. Returns 2 if ctx or its free hook is null.
long inipar_deinit(inipar_ctx *ctx);

// Parse len bytes (NUL is an ordinary byte) below parent (null: top level).
// Every call starts with no section and no half-read item. Returns 0, 1 for a
// null ctx or data or an uninitialised ctx, or INIPAR_ENOMEM when an allocation
// failed: what was built before stays valid, later items are lost.
[[nodiscard]] long inipar_parse_data_ex(inipar_ctx *ctx, inipar_tree_node *parent, const void *data,
                                        std::size_t len, std::uint32_t flags);
[[nodiscard]] long inipar_parse_data(inipar_ctx *ctx, inipar_tree_node *parent, const void *data,
                                     std::size_t len);

// The pair after prev (the first one when prev is null); null at the end.
inipar_kv *inipar_kv_iter(inipar_ctx *ctx, inipar_kv *prev);

// The earliest pair whose full name equals name; null if none.
inipar_kv *inipar_find_key(inipar_ctx *ctx, const char *name);

// The child of parent (top level when null) after prev (the first when prev is
// null); null at the end, or when prev's parent is not parent.
inipar_tree_node *inipar_kv_tree_iter(inipar_ctx *ctx, inipar_tree_node *parent,
                                      inipar_tree_node *prev);

// The first child of parent (top level when null) named by len bytes at name.
inipar_tree_node *inipar_find_tree_node(inipar_ctx *ctx, inipar_tree_node *parent, const char *name,
                                        std::size_t len);

// Append a new subnode or value node as the last child of parent (top level
// when null), with copies of the strings. No duplicate check. Null when a
// string pointer is null or the allocation fails.
inipar_tree_node *inipar_add_subnode(inipar_ctx *ctx, inipar_tree_node *parent, const char *name,
                                     std::size_t len);
inipar_tree_node *inipar_add_valuenode(inipar_ctx *ctx, inipar_tree_node *parent, const char *name,
                                       std::size_t name_len, const char *value,
                                       std::size_t value_len);

// Unlink and free node with its whole subtree; with a null node, free every
// top-level node. The flat list of pairs is never touched.
void inipar_free_tree_node(inipar_ctx *ctx, inipar_tree_node *node);

#endif

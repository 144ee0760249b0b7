// Names to addresses: IPv4 and IPv6 addresses at once, host names through the
// system resolver, either here (blocking) or on a thread of their own.
#ifndef QUORIX_RESOLVER_H
#define QUORIX_RESOLVER_H

#include <cstdint>

#include "net.h"

// Turn host (an IPv4 or IPv6 address, or a name looked up for family: AF_INET,
// AF_INET6 or AF_UNSPEC for either) into *addr, with port 0. Returns 0, or -1
// when the name does not resolve. A name is looked up, which blocks until the
// resolver answers.
[[nodiscard]] int resolve_host(const char *host, int family, net_addr *addr);

// The same for an address only, which needs no lookup: -1 for a name.
[[nodiscard]] int resolver_numeric(const char *host, net_addr *addr);

// Name lookups away from the loop: one thread looks up the names it is handed,
// one at a time, and hands each answer back through a local socket pair whose
// end the loop polls. The loop's calls never block.
struct resolver_thread {
    int fd; // the loop's end: requests go out, answers come in
    bool running;
    std::uint32_t seq; // the number of the last lookup asked for
    unsigned out;      // lookups asked for and not answered yet
};

struct resolver_answer {
    std::uint32_t seq; // as asked
    int status;        // 0, or -1 when the name did not resolve
    net_addr addr;     // with port 0
};

// Start the thread. Returns 0, or -1 with errno.
[[nodiscard]] int resolver_start(resolver_thread *r);

// Hand name (valid until the process ends) to the thread as lookup *seq, to
// be looked up for family.
// Returns false when it cannot be queued: also while RESOLVER_MAX_OUT lookups
// are unanswered, so that a resolver that never answers does not gather
// requests without end.
constexpr unsigned RESOLVER_MAX_OUT = 4;
[[nodiscard]] bool resolver_ask(resolver_thread *r, const char *name, int family,
                                std::uint32_t *seq);

// Take one answer when one is waiting.
[[nodiscard]] bool resolver_take(resolver_thread *r, resolver_answer *a);

#endif

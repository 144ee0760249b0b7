// The address type, the same on every system.
#include "net.h"

#include <cstdio>
#include <cstring>

socklen_t net_addr_len(const net_addr *a)
{
    return a->sa.sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

const std::uint8_t *net_addr_bytes(const net_addr *a)
{
    return a->sa.sa_family == AF_INET6 ? a->v6.sin6_addr.s6_addr
                                       : reinterpret_cast<const std::uint8_t *>(&a->v4.sin_addr);
}

std::uint16_t net_port(const net_addr *a)
{
    return ntohs(a->sa.sa_family == AF_INET6 ? a->v6.sin6_port : a->v4.sin_port);
}

void net_set_port(net_addr *a, std::uint16_t port)
{
    (a->sa.sa_family == AF_INET6 ? a->v6.sin6_port : a->v4.sin_port) = htons(port);
}

bool net_same(const net_addr *a, const net_addr *b)
{
    return a->sa.sa_family == b->sa.sa_family && net_port(a) == net_port(b) &&
        std::memcmp(net_addr_bytes(a), net_addr_bytes(b), a->sa.sa_family == AF_INET6 ? 16 : 4) ==
        0;
}

const char *net_addr_text(const net_addr *a, bool with_port, char (*text)[NET_ADDR_TEXT])
{
    bool v6 = a->sa.sa_family == AF_INET6;
    char addr[INET6_ADDRSTRLEN];
    if (inet_ntop(v6 ? AF_INET6 : AF_INET, net_addr_bytes(a), addr, sizeof(addr)) == nullptr)
        std::snprintf(addr, sizeof(addr), "?");
    if (!with_port)
        std::snprintf(*text, sizeof(*text), "%s", addr);
    else
        std::snprintf(*text, sizeof(*text), v6 ? "[%s]:%u" : "%s:%u", addr,
                      static_cast<unsigned>(net_port(a)));
    return *text;
}

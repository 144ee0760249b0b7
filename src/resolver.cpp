#include "resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <tuple>

namespace {

// The resolver thread's stack: a lookup needs a few KiB of it.
constexpr std::size_t RESOLVER_STACK_SIZE = 256 * 1024;

struct lookup_request {
    std::uint32_t seq;
    int family;
    const char *name;
};

// The first address of a host name for family, from the system resolver.
[[nodiscard]] int lookup(const char *name, int family, net_addr *addr)
{
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *res = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &res) != 0)
        return -1;
    int found = -1;
    for (const addrinfo *ai = res; ai != nullptr && found != 0; ai = ai->ai_next) {
        if ((ai->ai_family == AF_INET || ai->ai_family == AF_INET6) &&
            ai->ai_addrlen <= sizeof(net_addr)) {
            *addr = net_addr{};
            std::memcpy(addr, ai->ai_addr, ai->ai_addrlen);
            net_set_port(addr, 0);
            found = 0;
        }
    }
    freeaddrinfo(res);
    return found;
}

// The thread's end of the socket pair is its only state: its argument.
void *resolver_main(void *arg)
{
    int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(arg));
    lookup_request req;
    while (recv(fd, &req, sizeof(req), 0) == static_cast<ssize_t>(sizeof(req))) {
        resolver_answer a{req.seq, 0, {}};
        a.status = lookup(req.name, req.family, &a.addr);
        if (send(fd, &a, sizeof(a), 0) != static_cast<ssize_t>(sizeof(a)))
            break;
    }
    return nullptr;
}

} // namespace

int resolver_numeric(const char *host, net_addr *addr)
{
    // inet_addr() for IPv4, as the configuration has always read it (127.1 too).
    *addr = net_addr{};
    in_addr_t a = inet_addr(host);
    if (a != INADDR_NONE) {
        addr->v4.sin_family = AF_INET;
        addr->v4.sin_addr.s_addr = a;
        return 0;
    }
    addr->v6.sin6_family = AF_INET6;
    return inet_pton(AF_INET6, host, &addr->v6.sin6_addr) == 1 ? 0 : -1;
}

int resolve_host(const char *host, int family, net_addr *addr)
{
    return resolver_numeric(host, addr) == 0 || lookup(host, family, addr) == 0 ? 0 : -1;
}

int resolver_start(resolver_thread *r)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) != 0)
        return -1;
    pthread_attr_t attr;
    int err = pthread_attr_init(&attr);
    if (err == 0) {
        std::ignore = pthread_attr_setstacksize(&attr, RESOLVER_STACK_SIZE);
        std::ignore = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        // Signals are the main thread's to take.
        sigset_t all, old;
        sigfillset(&all);
        std::ignore = pthread_sigmask(SIG_SETMASK, &all, &old);
        pthread_t thread;
        err = pthread_create(&thread, &attr, resolver_main,
                             reinterpret_cast<void *>(std::intptr_t{pair[1]}));
        std::ignore = pthread_sigmask(SIG_SETMASK, &old, nullptr);
        std::ignore = pthread_attr_destroy(&attr);
    }
    if (err != 0) {
        std::ignore = close(pair[0]);
        std::ignore = close(pair[1]);
        errno = err;
        return -1;
    }
    r->fd = pair[0];
    r->running = true;
    return 0;
}

bool resolver_ask(resolver_thread *r, const char *name, int family, std::uint32_t *seq)
{
    lookup_request req{r->seq + 1, family, name};
    if (r->out >= RESOLVER_MAX_OUT ||
        send(r->fd, &req, sizeof(req), MSG_DONTWAIT) != static_cast<ssize_t>(sizeof(req)))
        return false;
    r->out++;
    *seq = r->seq = req.seq;
    return true;
}

bool resolver_take(resolver_thread *r, resolver_answer *a)
{
    if (recv(r->fd, a, sizeof(*a), MSG_DONTWAIT) != static_cast<ssize_t>(sizeof(*a)))
        return false;
    r->out--;
    return true;
}

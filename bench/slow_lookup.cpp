// Preloaded into a client by bench/client-bench: every host-name lookup takes
// $QUORIX_LOOKUP_DELAY_MS (default 50) milliseconds longer, as behind a distant
// resolver, and is then answered by the C library as usual.
#include <dlfcn.h>
#include <netdb.h>
#include <unistd.h>

#include <cstdlib>

namespace {

void delay()
{
    const char *ms = std::getenv("QUORIX_LOOKUP_DELAY_MS");
    usleep(static_cast<useconds_t>((ms != nullptr ? std::atoi(ms) : 50) * 1000));
}

} // namespace

extern "C" {

hostent *gethostbyname(const char *name)
{
    delay();
    return reinterpret_cast<hostent *(*)(const char *)>(dlsym(RTLD_NEXT, "gethostbyname"))(name);
}

int getaddrinfo(const char *node, const char *service, const addrinfo *hints, addrinfo **res)
{
    using fn = int (*)(const char *, const char *, const addrinfo *, addrinfo **);
    delay();
    return reinterpret_cast<fn>(dlsym(RTLD_NEXT, "getaddrinfo"))(node, service, hints, res);
}

} // extern "C"

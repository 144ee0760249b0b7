// Link seams of the unit tests: the linker sends the shipped code's calls of
// these functions here (-Wl,--wrap=...), so tests can inject failures and
// answer name lookups without touching the machine's resolver.
#include <netdb.h>
#include <netinet/in.h>
#include <arpa/inet.h>

#include <cerrno>
#include <cstddef>
#include <map>
#include <string>

#include "testsupport.h"

extern "C" {
void *__real_malloc(std::size_t size);
void *__real_realloc(void *p, std::size_t size);
void *__wrap_malloc(std::size_t size);
void *__wrap_realloc(void *p, std::size_t size);
hostent *__wrap_gethostbyname(const char *name);
}

namespace {

long alloc_calls = 0;
long fail_from = -1;
long lookups = 0;

std::map<std::string, in_addr> &hosts()
{
    static std::map<std::string, in_addr> table;
    return table;
}

bool alloc_fails()
{
    long n = alloc_calls++;
    if (fail_from >= 0 && n >= fail_from) {
        errno = ENOMEM;
        return true;
    }
    return false;
}

} // namespace

void *__wrap_malloc(std::size_t size)
{
    return alloc_fails() ? nullptr : __real_malloc(size);
}

void *__wrap_realloc(void *p, std::size_t size)
{
    return alloc_fails() ? nullptr : __real_realloc(p, size);
}

hostent *__wrap_gethostbyname(const char *name)
{
    static in_addr addr;
    static char *addr_list[2] = {reinterpret_cast<char *>(&addr), nullptr};
    static char *aliases[1] = {nullptr};
    static hostent he;
    lookups++;
    std::string key(name);
    auto it = hosts().find(key);
    if (key == "localhost" && it == hosts().end()) {
        inet_aton("127.0.0.1", &addr);
    } else if (it != hosts().end()) {
        addr = it->second;
    } else {
        h_errno = HOST_NOT_FOUND;
        return nullptr;
    }
    he.h_name = const_cast<char *>(name);
    he.h_aliases = aliases;
    he.h_addrtype = AF_INET;
    he.h_length = 4;
    he.h_addr_list = addr_list;
    return &he;
}

void seam_fail_alloc_from(long n)
{
    alloc_calls = 0;
    fail_from = n;
}

void seam_alloc_reset()
{
    fail_from = -1;
    alloc_calls = 0;
}

long seam_alloc_calls()
{
    return alloc_calls;
}

void seam_add_host(const std::string &name, const std::string &dotted)
{
    in_addr a;
    inet_aton(dotted.c_str(), &a);
    hosts()[name] = a;
}

void seam_hosts_reset()
{
    hosts().clear();
    lookups = 0;
}

long seam_lookups()
{
    return lookups;
}

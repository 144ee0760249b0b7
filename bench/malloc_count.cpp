// Preloaded into the daemon by bench/footprint: counts the heap allocations
// made after start-up. Start-up ends at the first poll() call (the main loop's
// first wait); from then on every malloc, calloc, realloc and aligned
// allocation is counted, and the count is written to $QUORIX_MALLOC_COUNT_FILE
// whenever it changes (checked at each poll, so a killed daemon leaves it).
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <malloc.h>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
}

namespace {

std::atomic<bool> armed{false};
std::atomic<long> count{0};
long written = -1;

void note()
{
    if (armed.load(std::memory_order_relaxed))
        count.fetch_add(1, std::memory_order_relaxed);
}

void publish()
{
    long c = count.load();
    if (c == written)
        return;
    written = c;
    const char *path = std::getenv("QUORIX_MALLOC_COUNT_FILE");
    if (path == nullptr)
        return;
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return;
    char buf[32];
    int n = std::snprintf(buf, sizeof(buf), "%ld\n", c);
    if (write(fd, buf, static_cast<size_t>(n)) < 0) {
    }
    close(fd);
}

} // namespace

extern "C" {

void *malloc(size_t size)
{
    note();
    return __libc_malloc(size);
}

void *calloc(size_t n, size_t size)
{
    note();
    return __libc_calloc(n, size);
}

void *realloc(void *p, size_t size)
{
    note();
    return __libc_realloc(p, size);
}

void *memalign(size_t align, size_t size)
{
    note();
    return __libc_memalign(align, size);
}

int posix_memalign(void **out, size_t align, size_t size)
{
    note();
    void *p = __libc_memalign(align, size);
    if (p == nullptr)
        return 12;
    *out = p;
    return 0;
}

int poll(pollfd *fds, nfds_t n, int timeout)
{
    using poll_fn = int (*)(pollfd *, nfds_t, int);
    static poll_fn real = reinterpret_cast<poll_fn>(dlsym(RTLD_NEXT, "poll"));
    if (!armed.exchange(true))
        count.store(0);
    publish();
    return real(fds, n, timeout);
}

} // extern "C"

#include "init.h"

int is_deferred_resolution_enabled(const ntp_state *st)
{
    if (!st->resolve_timeservers)
        return 1;
    return st->lazy_resolve_ignored_timeservers ? 1 : 0;
}

#include "dirlist.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <tuple>

namespace {

struct dir_closer {
    void operator()(DIR *d) const { std::ignore = closedir(d); }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

bool is_candidate(const dirent *ent)
{
    std::string_view name = ent->d_name;
    if (name.starts_with('.'))
        return false;
    if (ent->d_type != DT_REG && ent->d_type != DT_LNK && ent->d_type != DT_UNKNOWN)
        return false;
    return name.size() > DIRLIST_SUFFIX.size() && name.ends_with(DIRLIST_SUFFIX);
}

int fail(ptrarr *listing)
{
    free_dir_list(listing);
    *listing = ptrarr{};
    return -1;
}

} // namespace

int dir_list(ptrarr *listing, const char *dirname)
{
    dir_ptr dir(opendir(dirname));
    if (!dir) {
        *listing = ptrarr{};
        return 0;
    }
    if (ptrarr_init(listing) != 0) {
        std::fprintf(stderr, "Could not initialize directory name array\n");
        return -1;
    }

    std::size_t dir_len = std::strlen(dirname);
    for (;;) {
        // A failed read must not pass for the end of the directory: a
        // fragment would be skipped without a word.
        errno = 0;
        const dirent *ent = readdir(dir.get());
        if (ent == nullptr) {
            if (errno == 0)
                break;
            std::fprintf(stderr, "Could not read directory '%s': %s\n", dirname,
                         std::strerror(errno));
            return fail(listing);
        }
        if (!is_candidate(ent))
            continue;
        std::size_t name_len = std::strlen(ent->d_name);
        char *path = static_cast<char *>(std::malloc(dir_len + name_len + 2));
        if (path == nullptr) {
            std::fprintf(stderr, "Could not allocate file name: %s\n", std::strerror(errno));
            return fail(listing);
        }
        std::memcpy(path, dirname, dir_len);
        path[dir_len] = '/';
        std::memcpy(path + dir_len + 1, ent->d_name, name_len + 1);

        struct stat sb;
        if (stat(path, &sb) != 0) {
            std::fprintf(stderr, "Could not stat file '%s': %s\n", path, std::strerror(errno));
            std::free(path);
            return fail(listing);
        }
        if (!S_ISREG(sb.st_mode)) {
            std::free(path);
            continue;
        }
        if (ptrarr_add(listing, path) != 0) {
            std::fprintf(stderr, "Could not store filename in the array\n");
            std::free(path);
            return fail(listing);
        }
    }

    if (listing->count >= 2)
        std::qsort(listing->items, listing->count, sizeof(void *), cmp_pstr);
    return 0;
}

void free_dir_list(ptrarr *listing)
{
    for (std::size_t i = 0; i < listing->count; i++)
        std::free(listing->items[i]);
    ptrarr_deinit(listing);
}

int cmp_pstr(const void *a, const void *b)
{
    return std::strcmp(*static_cast<const char *const *>(a), *static_cast<const char *const *>(b));
}

// Sorted listing of the "*.conf" regular files of a directory.
#ifndef QUORIX_DIRLIST_H
#define QUORIX_DIRLIST_H

#include <string_view>

#include "ptrarr.h"

// The names that are listed end in this.
constexpr std::string_view DIRLIST_SUFFIX = ".conf";

// Fill listing (caller's storage, any content) with heap paths "dirname/name"
// of the regular files (symbolic links followed) whose names end in ".conf"
// and do not begin with '.', sorted by byte order. A directory that cannot be
// opened gives an empty listing; a directory that fails to be read fails the
// listing. Returns 0, or -1 after a message on standard error; after a
// failure the listing is empty and owns nothing.
[[nodiscard]] int dir_list(ptrarr *listing, const char *dirname);

// Free every path of a listing, then its slot array.
void free_dir_list(ptrarr *listing);

// qsort comparator for an array of string pointers: strcmp of the pointees.
int cmp_pstr(const void *a, const void *b);

#endif

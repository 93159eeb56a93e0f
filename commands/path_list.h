// Lists of folders as PATH holds them: entries separated by ';'. An entry names a folder when it
// equals it ignoring the case of ASCII letters and trailing backslashes. Portable: the
// environment commands edit the registry's value with these, byte for byte.
#pragma once

#include <stddef.h>

// True when one of the entries of `list` (`length` bytes) names `folder`.
bool PathListHas(const char *list, size_t length, const char *folder);

// Writes `list` with `folder` appended as an entry of its own into `out`, which holds at least
// length + strlen(folder) + 2 bytes, and returns the new length (`out` is NUL-terminated). A list
// that ends in ';' keeps ending in one, so that PathListRemove gives back every byte.
size_t PathListAdd(const char *list, size_t length, const char *folder, char *out);

// Writes `list` without the entries that name `folder` into `out` (at least length + 1 bytes),
// each taken out with one separator of its own (the one before it, or for the first entry the
// one after it), and returns the new length. Every other byte stays as it was.
size_t PathListRemove(const char *list, size_t length, const char *folder, char *out);

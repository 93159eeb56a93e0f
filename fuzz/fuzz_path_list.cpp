// PATH editing over arbitrary lists: the input is a folder, a NUL, then the list. Adding a folder
// the list does not name and removing it again gives back the list byte for byte; a removal
// leaves no entry that names the folder.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "commands/path_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint8_t *nul = (const uint8_t *)memchr(data, 0, size);
    if (!nul)
        return 0;
    size_t folderLength = (size_t)(nul - data);
    const char *list = (const char *)nul + 1;
    size_t length = size - folderLength - 1;
    char *folder = (char *)malloc(folderLength + 1);
    memcpy(folder, data, folderLength);
    folder[folderLength] = 0;
    char *added = (char *)malloc(length + folderLength + 2);
    char *removed = (char *)malloc(length + folderLength + 2);
    bool named = PathListHas(list, length, folder);
    size_t left = PathListRemove(list, length, folder, removed);
    if (left > length || PathListHas(removed, left, folder) || (!named && left != length))
        abort();
    // The commands add only folders without a separator that are more than backslashes.
    size_t kept = folderLength;
    while (kept > 0 && folder[kept - 1] == '\\')
        kept--;
    bool addable = kept > 0 && !strchr(folder, ';');
    if (addable && !named) {
        size_t grown = PathListAdd(list, length, folder, added);
        if (!PathListHas(added, grown, folder))
            abort();
        size_t back = PathListRemove(added, grown, folder, removed);
        if (back != length || memcmp(removed, list, length) != 0)
            abort();
    }
    free(folder);
    free(added);
    free(removed);
    return 0;
}

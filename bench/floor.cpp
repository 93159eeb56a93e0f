// The floor of the install benchmark: the least a program must do to lay out the same files,
// copying their bytes out of one file with ReadFile and WriteFile through a 1 MiB buffer.
//
//   floor SOURCE LIST FOLDER   creates FOLDER, then the folders and files LIST names in it
//   floor                      does nothing: Wine's bare start-up
//
// LIST holds one line per step: "D relative\folder" creates a folder, "F offset size
// relative\file" copies `size` bytes from `offset` of SOURCE into a new file. Exit code 0, or 1
// on the first failure.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kBlock = 1 << 20 };

static char block[kBlock];

static bool CopyRange(HANDLE source, unsigned long long offset, unsigned long size,
                      const char *path)
{
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)offset;
    if (!SetFilePointerEx(source, at, nullptr, FILE_BEGIN))
        return false;
    HANDLE out =
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE)
        return false;
    bool ok = true;
    while (ok && size > 0) {
        DWORD want = size < kBlock ? (DWORD)size : (DWORD)kBlock;
        DWORD got = 0;
        DWORD written = 0;
        ok = ReadFile(source, block, want, &got, nullptr) && got == want &&
             WriteFile(out, block, got, &written, nullptr) && written == got;
        size -= want;
    }
    CloseHandle(out);
    return ok;
}

int main(int argc, char **argv)
{
    if (argc == 1)
        return 0;
    if (argc != 4) {
        fputs("usage: floor SOURCE LIST FOLDER\n", stderr);
        return 2;
    }
    HANDLE source = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    FILE *list = fopen(argv[2], "r");
    if (source == INVALID_HANDLE_VALUE || !list || !CreateDirectoryA(argv[3], nullptr)) {
        fputs("floor: cannot open the source or the list, or create the folder\n", stderr);
        return 1;
    }
    char line[1024];
    char path[MAX_PATH];
    int result = 0;
    while (result == 0 && fgets(line, sizeof line, list)) {
        line[strcspn(line, "\r\n")] = 0;
        unsigned long long offset = 0;
        unsigned long size = 0;
        int used = 0;
        bool ok = false;
        if (line[0] == 'D') {
            ok = snprintf(path, sizeof path, "%s\\%s", argv[3], line + 2) < (int)sizeof path &&
                 (CreateDirectoryA(path, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
        } else if (line[0] == 'F' && sscanf(line + 2, "%llu %lu %n", &offset, &size, &used) == 2) {
            ok = snprintf(path, sizeof path, "%s\\%s", argv[3], line + 2 + used) <
                     (int)sizeof path &&
                 CopyRange(source, offset, size, path);
        }
        if (!ok) {
            fprintf(stderr, "floor: failed at \"%s\"\n", line);
            result = 1;
        }
    }
    fclose(list);
    CloseHandle(source);
    return result;
}

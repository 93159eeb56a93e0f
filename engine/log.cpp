#include "engine/log.h"

#include <windows.h>

#include <string.h>

#include "base/globals.h"
#include "base/syscalls.h"
#include "base/text.h"
#include "commands/files.h"
#include "resources/resource.h"
#include "script/interpreter.h"
#include "script/variables.h"
#include "ui/messages.h"

enum { kLogLineSize = 1040 };

static void WriteLine(HANDLE file, UINT id)
{
    char line[kLogLineSize];
    LoadExpandedMessage(id, line, sizeof line);
    DWORD written;
    Sys.WriteFile(file, line, (DWORD)strlen(line), &written, nullptr); /* best effort */
    Sys.WriteFile(file, "\r\n", 2, &written, nullptr);                 /* best effort */
}

bool InstallLogPath(char *path, size_t capacity)
{
    if (RunMode == 0)
        return FormatText(path, capacity, "%s.log", EngineFilePath);
    // The uninstaller runs from a folder that is removed with it; its log goes to the temporary
    // folder, named after the product.
    char folder[kPathSize];
    DWORD n = GetTempPathA(sizeof folder, folder);
    if (n == 0 || n >= sizeof folder)
        return false;
    StripBackslashes(folder);
    char product[kPathSize];
    CopyText(product, sizeof product, GetVariableText("#PROGRAM#"));
    for (char *c = product; *c; c++) {
        if ((unsigned char)*c < 0x20 || strchr("\\/:*?\"<>|", *c))
            *c = '_';
    }
    return FormatText(path, capacity, product[0] ? "%s\\%s-Uninstall.log" : "%s\\Uninstall.log",
                      folder, product);
}

void WriteInstallLog(void)
{
    char path[kPathSize];
    if (!InstallLogPath(path, sizeof path))
        return;
    HANDLE file = Sys.CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    int code = LastErrorCode;
    if (code != kOk)
        WriteLine(file, (UINT)ShowErrorMessage(MESSAGE_ID_ONLY, code));
    WriteLine(file, code != kOk ? IDS_LOG_FAILURE : IDS_LOG_SUCCESS);
    CloseHandle(file);
}

void CopyExtraFiles(void)
{
    for (int i = 0; i < ExtraFileCount; i++) {
        const char *source = ExtraFiles[i];
        const char *slash = strrchr(source, '\\');
        const char *name = slash ? slash + 1 : source;
        char destination[kPathSize];
        // A destination that does not fit the path buffer is skipped.
        if (!FormatText(destination, sizeof destination, "#INSTALLPATH#\\%s", name))
            continue;
        char expanded[kTextSize];
        CopyText(expanded, sizeof expanded, destination);
        ExpandVariables(expanded, sizeof expanded);
        if (strlen(expanded) >= kPathSize)
            continue;
        Sys.CopyFileA(source, expanded, FALSE); /* best effort */
    }
}

#include "commands/image_commands.h"

#include <string.h>

#include "archive/uninstaller.h"
#include "base/globals.h"
#include "base/text.h"
#include "commands/files.h"
#include "commands/journal.h"
#include "commands/realuser.h"
#include "resources/resource.h"
#include "script/interpreter.h"
#include "script/scanner.h"
#include "script/variables.h"

int CommandCopyUninstall(const char *argumentStart, const char *lineEnd)
{
    if (FetchArguments(1, &argumentStart, lineEnd) < 1)
        return kErrMissingArgument;
    ShowStatus(IDS_STATUS_COPY_FILE, "Copying file: %s", ArgumentSlots[0]);
    int mark = JournalFileWrite(ArgumentSlots[0]);
    int result = WriteUninstaller(ArgumentSlots[0]);
    if (result != kOk)
        JournalWriteFailed(mark);
    return result;
}

int CommandPatchFile(const char *argumentStart, const char *lineEnd)
{
    if (FetchArguments(3, &argumentStart, lineEnd) < 3)
        return kErrMissingArgument;
    const char *source = ArgumentSlots[0];
    const char *patchData = ArgumentSlots[1];
    // The target: the folder, a backslash unless the folder ends with one (an empty folder gets
    // it as well, which puts the target at the root of the current drive, never in the current
    // folder), the patch data's name, and the source's last three characters (its extension) in
    // place of the name's own.
    const char *folder = ArgumentSlots[2];
    size_t folderLength = strlen(folder);
    const char *separator = folderLength > 0 && folder[folderLength - 1] == '\\' ? "" : "\\";
    char target[kPathSize];
    bool fits = FormatText(target, sizeof target, "%s%s%s", folder, separator, patchData);
    size_t sourceLength = strlen(source);
    size_t targetLength = strlen(target);
    if (fits && sourceLength >= 3 && targetLength >= 3)
        memcpy(target + targetLength - 3, source + sourceLength - 3, 3);
    else
        fits = false;
    ShowStatus(IDS_STATUS_PATCH_FILE, "Patching file: %s", source);
    BeginRealUser();
    int result = kErrNotPatched;
    if (fits) {
        int mark = JournalFileWrite(target);
        result = ApplyPatch(source, patchData, target);
        // A copy that failed wrote nothing; a patch that failed left the copy, which a rollback
        // undoes with the rest.
        if (result != kOk)
            JournalWriteFailed(mark);
    }
    EndRealUser();
    return result;
}

void InstallUninstallerCommands(void)
{
    SetCommand(kKwCopyUninstall, CommandCopyUninstall);
    SetCommand(kKwPatchFile, CommandPatchFile);
}

// Files built from the engine's own file: the uninstaller and patched copies. The script
// commands over them (CopyUninstall, PatchFile) are in commands/image_commands.h.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Writes the uninstaller to `destination`: the engine's image with every "SetupMode:Setup"
// turned into "SetupMode:Unins", a language-neutral icon group 101 copied from group 102, then
// the header magic and the archive's entries up to and including "Uninstall.vis"; its
// certificate table entry cleared and its checksum right. When the setup carries an uninstaller
// that the packer signed for this engine build (SignedUninstallerName) and that holds this
// setup's uninstall script, that one is written as it stands instead. 0; 18 when the setup's
// "Uninstall.vis" is damaged; 8 on any other failure.
int WriteUninstaller(const char *destination);

// Copies `source` (disk first, else the archive entry) to `target` and applies the patch
// records of `patchData` to it. 0; 8, 17 or 18 when the copy failed; 18 when the patch data is a
// damaged archive entry; 24 when the target could not be opened, the patch data could not be
// loaded otherwise or a record could not be written.
int ApplyPatch(const char *source, const char *patchData, const char *target);

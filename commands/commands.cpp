#include "commands/commands.h"

#include "commands/files.h"
#include "commands/image_commands.h"
#include "commands/links.h"
#include "commands/process.h"
#include "commands/record.h"
#include "commands/registry.h"
#include "script/interpreter.h"
#include "script/scanner.h"

void InstallSystemCommands(void)
{
    InstallFileCommands();
    InstallRegistryCommands();
    InstallProcessCommands();
    InstallLinkCommands();
    InstallUninstallerCommands();
    SetCommand(kKwCreateSetupInfo, CommandCreateSetupInfo);
}

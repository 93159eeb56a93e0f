#include "commands/commands.h"

#include "commands/files.h"
#include "commands/record.h"
#include "script/interpreter.h"
#include "script/scanner.h"

void InstallSystemCommands(void)
{
    InstallFileCommands();
    SetCommand(kKwCreateSetupInfo, CommandCreateSetupInfo);
}

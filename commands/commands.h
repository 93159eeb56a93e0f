// Enters every system command the engine has into the interpreter's command table.
#pragma once

void InstallSystemCommands(void);

// Control commands that act on the engine itself.
#pragma once

int CommandSet(const char *argumentStart, const char *lineEnd);
int CommandError(const char *argumentStart, const char *lineEnd);
int CommandStatus(const char *argumentStart, const char *lineEnd);
int CommandStatus2(const char *argumentStart, const char *lineEnd);

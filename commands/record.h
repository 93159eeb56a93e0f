// The product registration record in the registry (HKEY_LOCAL_MACHINE "Software\Veltrano",
// one binary value per product, in the 32-bit view), CreateSetupInfo, the configuration-data
// folder rule, the previous-version check and the free-space query.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "commands/record_codec.h"

extern const char kProductKey[]; // "Software\Veltrano"

// Fills the caller's zeroed record from the value `name`; true when it was read and is valid.
bool ReadProductRecord(const char *name, ProductRecord *record);
// Sets record->valid to 1 and stores the 806 bytes; true on success.
bool WriteProductRecord(const char *name, ProductRecord *record);
// The configuration-data folder of product `name` (up to 259 characters); false, leaving out
// untouched, when there is no valid record.
bool ConfigFolderFor(const char *name, char *out, size_t capacity);
bool PreviousVersionMustBeRemoved(void);
uint64_t FreeDiskBytes(const char *path);

int CommandCreateSetupInfo(const char *argumentStart, const char *lineEnd);

// The path of a shell folder by CSIDL number, trailing backslashes removed; "" when the shell
// cannot give it.
void ShellFolder(int csidl, char *out, size_t capacity);

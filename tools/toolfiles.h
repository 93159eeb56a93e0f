// File access for mksetup, which runs on Linux and on Windows.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

bool ReadBinaryFile(const std::string &path, std::vector<uint8_t> *data);
// Writes `data` as the whole file at `path`; false when it could not be written whole.
bool WriteBinaryFile(const std::string &path, const std::vector<uint8_t> &data);
bool IsDirectoryPath(const std::string &path);
bool RegularFileSize(const std::string &path, uint64_t *size);
// Names of the regular files directly in `folder`, sorted bytewise.
bool ListFilesIn(const std::string &folder, std::vector<std::string> *names);
// Names of the folders directly in `folder`, sorted bytewise. Links to folders (symbolic links,
// junctions) are left out, so that a walk down a tree always ends.
bool ListFoldersIn(const std::string &folder, std::vector<std::string> *names);
std::string JoinPath(const std::string &folder, const std::string &name);
// The last component of a path (separators: '/', and '\' on Windows).
std::string BaseName(const std::string &path);
// Moves `from` over `to`, replacing it.
bool MoveFileOver(const std::string &from, const std::string &to);
// `path` quoted for the system's command shell (sh on Linux, cmd on Windows), as one word.
std::string ShellQuote(const std::string &path);
// Runs a command line through the system's command shell; its exit status, or -1 when it could
// not be run or did not exit.
int RunShellCommand(const std::string &command);
// Converts `text` from the code page `encoding` ("CP1252", "cp932", or the number alone) to
// UTF-8. False when the code page is unknown or the text is not valid in it.
bool ConvertToUtf8(const std::string &encoding, const std::vector<uint8_t> &text,
                   std::vector<uint8_t> *utf8);

// A product tree laid out for the setup data archive. Archive entries are bare names, so the
// files of a tree travel under entry names that are unique ignoring case: a file keeps its own
// name when no earlier file in the walk has taken it, else it becomes "stem~N.ext" with the
// smallest N from 2 up that is free. The names the engine reads by itself (Setup.vis,
// Uninstall.vis, EULA.txt, SetupLib32.dll, SetupLib64.dll) are never given to a tree's file:
// those come from the plain PATH arguments of mksetup pack.
#pragma once

#include <string>
#include <vector>

struct TreeFile {
    std::string path;     // where it is on this disk
    std::string relative; // below the tree's root, folders separated by '\'
    std::string entry;    // the archive entry it travels in
};

struct Tree {
    std::vector<std::string> folders; // below the root, '\'-separated, parents before children
    std::vector<TreeFile> files;      // the root's files, then each folder's, in folder order
};

// Walks the tree at `root` (files and folders in bytewise name order; links to folders are
// not followed) and gives each file its entry. False with a message when the tree cannot be
// read or holds a name a script cannot install: see TreeNameProblem.
bool MapTree(const std::string &root, Tree *tree, std::string *error);

// Gives each file its entry name from the last component of `relative`. False with a message
// when a name would grow past 259 characters.
bool AssignEntryNames(std::vector<TreeFile> *files, std::string *error);

// Why a file or folder name cannot stand in a script line, or null when it can: besides what
// Windows refuses in a name, '#' (it may start a variable) and '"' (it ends a quoted argument).
const char *TreeNameProblem(const char *name);

// mksetup files DIR [--prefix TEXT] [--uninstall]: prints the CreateDir and CopyFile lines
// (CR LF) that install the tree under the prefix, or the DeleteFile and RemoveDir lines that
// remove it. Exit status 0, 1 when the tree is refused, 2 for usage.
int RunFiles(int argc, char **argv);

extern const char FilesUsage[];

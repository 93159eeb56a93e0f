#include "tools/tree.h"

#include <stdio.h>
#include <string.h>

#include <set>

#include "base/text.h"
#include "base/types.h"
#include "tools/pack.h"
#include "tools/toolfiles.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

const char FilesUsage[] =
    "usage: mksetup files DIR [--prefix TEXT] [--uninstall]\n"
    "Prints the script lines (CR LF) that install the tree DIR under TEXT (default\n"
    "#INSTALLPATH#): a CreateDir line for the prefix and each folder, parents first, and a\n"
    "CopyFile line for each file. With --uninstall it prints the lines that remove it again,\n"
    "for Uninstall.vis: each folder's files (DeleteFile), then the folder (RemoveDir), the\n"
    "deepest folders first and the prefix last. mksetup pack --tree DIR packs the files under the "
    "entry\n"
    "names these lines use: a file keeps its name unless an earlier one took it, then it\n"
    "becomes name~2.ext, name~3.ext...; Setup.vis, Uninstall.vis, EULA.txt, SetupLib32.dll and\n"
    "SetupLib64.dll are never taken by a tree's file.\n";

namespace
{

const char *const ReservedEntries[] = {"Setup.vis", "Uninstall.vis", "EULA.txt", "SetupLib32.dll",
                                       "SetupLib64.dll"};

std::string Lower(const std::string &text)
{
    std::string lower = text;
    for (char &c : lower)
        c = LowerAscii(c);
    return lower;
}

std::string LastComponent(const std::string &relative)
{
    size_t slash = relative.rfind('\\');
    return slash == std::string::npos ? relative : relative.substr(slash + 1);
}

// "stem~N.ext"; the extension begins at the last dot that does not begin the name.
std::string NumberedName(const std::string &name, unsigned n)
{
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        dot = name.size();
    return name.substr(0, dot) + "~" + std::to_string(n) + name.substr(dot);
}

struct Walk {
    Tree *tree;
    std::set<std::string> seen; // relative paths of files and folders, in small letters
    std::string *error;
};

bool Accept(Walk *walk, const std::string &path, const std::string &relative,
            const std::string &name)
{
    const char *problem = TreeNameProblem(name.c_str());
    if (problem) {
        *walk->error = "\"" + name + "\" (" + path + ") " + problem;
        return false;
    }
    // With a drive and a backslash before it, the path must stay within 259 characters.
    if (relative.size() + 3 >= kPathSize) {
        *walk->error = path + " is too deep: " + std::to_string(relative.size()) +
                       " characters below the tree leave no room for a folder to install to";
        return false;
    }
    if (!walk->seen.insert(Lower(relative)).second) {
        *walk->error = path + " installs to the same path as another name in the tree (Windows "
                              "ignores case)";
        return false;
    }
    return true;
}

bool WalkFolder(Walk *walk, const std::string &folder, const std::string &relative)
{
    std::vector<std::string> files;
    std::vector<std::string> folders;
    if (!ListFilesIn(folder, &files) || !ListFoldersIn(folder, &folders)) {
        *walk->error = "cannot list the folder " + folder;
        return false;
    }
    for (const std::string &name : files) {
        TreeFile file{JoinPath(folder, name), relative.empty() ? name : relative + "\\" + name, ""};
        if (!Accept(walk, file.path, file.relative, name))
            return false;
        walk->tree->files.push_back(file);
    }
    for (const std::string &name : folders) {
        std::string path = JoinPath(folder, name);
        std::string below = relative.empty() ? name : relative + "\\" + name;
        if (!Accept(walk, path, below, name))
            return false;
        walk->tree->folders.push_back(below);
        if (!WalkFolder(walk, path, below))
            return false;
    }
    return true;
}

// The text as one script argument: in quotes when it holds a blank or a comma, or `always`.
std::string Argument(const std::string &text, bool always)
{
    return always || text.find_first_of(" ,") != std::string::npos ? "\"" + text + "\"" : text;
}

std::string InstallLines(const Tree &tree, const std::string &prefix)
{
    std::string lines = "CreateDir " + Argument(prefix, true) + "\r\n";
    for (const std::string &folder : tree.folders)
        lines += "CreateDir " + Argument(prefix + "\\" + folder, true) + "\r\n";
    for (const TreeFile &file : tree.files)
        lines += "CopyFile " + Argument(file.entry, false) + ", " +
                 Argument(prefix + "\\" + file.relative, true) + "\r\n";
    return lines;
}

// The files of one folder (relative, "" for the root) and then the folder.
std::string RemoveFolderLines(const Tree &tree, const std::string &prefix,
                              const std::string &folder)
{
    std::string lines;
    for (const TreeFile &file : tree.files) {
        size_t slash = file.relative.rfind('\\');
        if ((slash == std::string::npos ? std::string() : file.relative.substr(0, slash)) == folder)
            lines += "DeleteFile " + Argument(prefix + "\\" + file.relative, true) + "\r\n";
    }
    std::string path = folder.empty() ? prefix : prefix + "\\" + folder;
    return lines + "RemoveDir " + Argument(path, true) + "\r\n";
}

// The folders come parents first: backwards, every folder comes after all those below it.
std::string RemovalLines(const Tree &tree, const std::string &prefix)
{
    std::string lines;
    for (auto folder = tree.folders.rbegin(); folder != tree.folders.rend(); ++folder)
        lines += RemoveFolderLines(tree, prefix, *folder);
    return lines + RemoveFolderLines(tree, prefix, "");
}

} // namespace

const char *TreeNameProblem(const char *name)
{
    if (!IsBareFileName(name))
        return "is not a name Windows accepts";
    if (strchr(name, '#'))
        return "holds '#', which scripts read as the start of a variable";
    char last = name[strlen(name) - 1];
    if (last == '.' || last == ' ')
        return "ends in a dot or a blank, which Windows drops";
    return nullptr;
}

bool AssignEntryNames(std::vector<TreeFile> *files, std::string *error)
{
    std::set<std::string> taken;
    for (const char *reserved : ReservedEntries)
        taken.insert(Lower(reserved));
    // First every file whose name is still free keeps it; then the others are numbered.
    for (TreeFile &file : *files) {
        std::string name = LastComponent(file.relative);
        file.entry = taken.insert(Lower(name)).second ? name : "";
    }
    for (TreeFile &file : *files) {
        if (!file.entry.empty())
            continue;
        std::string name = LastComponent(file.relative);
        for (unsigned n = 2; file.entry.empty(); n++) {
            std::string numbered = NumberedName(name, n);
            if (taken.insert(Lower(numbered)).second)
                file.entry = numbered;
        }
        if (!IsBareFileName(file.entry.c_str())) {
            *error = "the entry name " + file.entry + " for " + file.path +
                     " would be longer than 259 characters";
            return false;
        }
    }
    return true;
}

bool MapTree(const std::string &root, Tree *tree, std::string *error)
{
    tree->folders.clear();
    tree->files.clear();
    if (!IsDirectoryPath(root)) {
        *error = root + " is not a folder";
        return false;
    }
    Walk walk{tree, {}, error};
    return WalkFolder(&walk, root, "") && AssignEntryNames(&tree->files, error);
}

int RunFiles(int argc, char **argv)
{
    const char *root = nullptr;
    std::string prefix = "#INSTALLPATH#";
    bool uninstall = false;
    for (int i = 0; i < argc; i++) {
        if (strcmp(argv[i], "--prefix") == 0 && i + 1 < argc) {
            prefix = argv[++i];
        } else if (strcmp(argv[i], "--uninstall") == 0) {
            uninstall = true;
        } else if (argv[i][0] == '-' || root) {
            fprintf(stderr, "mksetup files: unexpected argument %s\n%s", argv[i], FilesUsage);
            return 2;
        } else {
            root = argv[i];
        }
    }
    while (!prefix.empty() && (prefix.back() == '\\' || prefix.back() == '/'))
        prefix.pop_back();
    bool prefixFits = !prefix.empty() && prefix.size() < kTextSize;
    for (char c : prefix)
        prefixFits = prefixFits && c != '"' && (unsigned char)c >= 0x20;
    if (!root || !prefixFits) {
        fprintf(stderr, "mksetup files: %s\n%s",
                root ? "the prefix must be a non-empty line of text without '\"'"
                     : "DIR is missing",
                FilesUsage);
        return 2;
    }

    Tree tree;
    std::string error;
    if (!MapTree(root, &tree, &error)) {
        fprintf(stderr, "mksetup files: %s\n", error.c_str());
        return 1;
    }
    for (const TreeFile &file : tree.files) {
        size_t length = prefix.size() + 1 + file.relative.size();
        if (length >= kTextSize) {
            fprintf(stderr,
                    "mksetup files: the destination of %s is %zu characters; a script "
                    "argument keeps only 519\n",
                    file.path.c_str(), length);
            return 1;
        }
    }
    std::string lines = uninstall ? RemovalLines(tree, prefix) : InstallLines(tree, prefix);
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY); // the lines carry their own CR LF
#endif
    fputs(lines.c_str(), stdout);
    return fflush(stdout) == 0 ? 0 : 1;
}

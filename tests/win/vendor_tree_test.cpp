// A vendor's product tree of nested folders, as a new vendor ships it: the Windows build of
// mksetup prints the install and removal lines for the tree and packs it, the setup installs it
// and the uninstaller removes it.
#include "tests/win/win_test_util.h"

namespace
{

class VendorTree : public WindowsTest
{
  protected:
    // Runs the Windows mksetup with its output into a file; returns the exit code.
    DWORD Mksetup(const std::string &arguments, std::string *output)
    {
        std::string outPath = Path("mksetup.out");
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        HANDLE out = CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                 CREATE_ALWAYS, 0, nullptr);
        std::string command = "\"" + BuildPath("mksetup.exe") + "\" " + arguments;
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = out;
        si.hStdError = out;
        PROCESS_INFORMATION pi;
        DWORD code = 0xDEAD;
        if (CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, Folder.c_str(),
                           &si, &pi)) {
            WaitForSingleObject(pi.hProcess, 60000);
            GetExitCodeProcess(pi.hProcess, &code);
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
        }
        CloseHandle(out);
        *output = ReadFileText(outPath);
        return code;
    }
};

TEST_F(VendorTree, NestedTreeWithRepeatedNamesInstallsSilently)
{
    struct File {
        const char *path;
        std::string bytes;
    } files[] = {
        {"Tool.exe", std::string(300000, 'x')}, {"readme.txt", "top"},
        {"docs\\readme.txt", "docs"},           {"docs\\en\\readme.txt", "english"},
        {"docs\\en\\user guide.txt", "guide"},  {"data\\empty.bin", ""},
    };
    for (const char *folder : {"product", "product\\docs", "product\\docs\\en", "product\\data"})
        CreateDirectoryA(Path(folder).c_str(), nullptr);
    for (const File &f : files)
        WriteFileText(Path(std::string("product\\") + f.path), f.bytes);

    std::string lines;
    ASSERT_EQ(Mksetup("files product --prefix \"#INSTALLPATH#\"", &lines), 0u) << lines;
    std::string removal;
    ASSERT_EQ(Mksetup("files product --uninstall", &removal), 0u) << removal;
    const char product[] = "PhaseBegin 0\r\nSet #PROGRAM#, Tree\r\nPhaseEnd\r\nPhaseBegin 1\r\n";
    WriteFileText(Path("Setup.vis"),
                  product + lines +
                      "CopyUninstall \"#INSTALLPATH#\\Uninstall.exe\"\r\nPhaseEnd\r\n");
    WriteFileText(Path("Uninstall.vis"),
                  product + std::string("DeleteFile \"#INSTALLPATH#\\Uninstall.exe\"\r\n") +
                      removal + "PhaseEnd\r\n");
    std::string packed;
    ASSERT_EQ(Mksetup("pack --engine \"" + BuildPath("Setup.exe") +
                          "\" --out TreeSetup.exe Uninstall.vis Setup.vis --tree product",
                      &packed),
              0u)
        << packed;
    // The script in the archive runs, not the one on disk beside the setup.
    std::string setup = Path("dist\\TreeSetup.exe");
    CreateDirectoryA(Path("dist").c_str(), nullptr);
    ASSERT_TRUE(MoveFileA(Path("TreeSetup.exe").c_str(), setup.c_str()));

    EXPECT_EQ(RunProgram(setup, "\"" + Path("Installed") + "\"", Path("dist")), 0u);
    EXPECT_EQ(ReadLog(setup + ".log"), "Setup finished successfully!\r\n");
    for (const File &f : files)
        EXPECT_EQ(ReadFileText(Path(std::string("Installed\\") + f.path)), f.bytes) << f.path;

    // The removal lines of the same tree take it all away again, the deepest folders first.
    EXPECT_EQ(removal.substr(0, removal.find("\r\n")),
              "DeleteFile \"#INSTALLPATH#\\docs\\en\\readme.txt\"");
    EXPECT_EQ(RunProgram(Path("Installed\\Uninstall.exe"), "/S", Folder), 0u);
    EXPECT_TRUE(WaitFor([&] { return !Exists(Path("Installed")); }))
        << NamesMatching(Path("Installed\\*"));
}

} // namespace

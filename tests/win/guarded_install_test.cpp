// What an elevated installation gives the folders it makes and what it trusts in those it finds:
// the installation folder, the levels above it and the folders inside it admit users to read
// and run only; an existing one that a user owns is refused; and the setup's own file, renamed
// and replaced while the setup runs, changes nothing that is installed.
#include "tests/win/win_test_util.h"

#include <sddl.h>

#include "base/security.h"

namespace
{

const char kProtected[] = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

std::vector<std::string> madeFolders; // "path: access" for every folder the engine made

BOOL WINAPI RecordFolder(LPCSTR name, LPSECURITY_ATTRIBUTES security)
{
    madeFolders.push_back(std::string(name) + ": " + AccessAskedFor(security));
    return CreateDirectoryA(name, security);
}

BOOL WINAPI NotAnAdministrator(void)
{
    return FALSE;
}

// The owner an existing folder reports, as security descriptor text ("BA", a user's SID...).
std::string folderOwner;
std::string accessSet; // what the engine gave the folder, "unchanged" when nothing

DWORD WINAPI OwnedBy(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID *owner, PSID *, PACL *dacl,
                     PACL *, PSECURITY_DESCRIPTOR *descriptor)
{
    BOOL defaulted = FALSE;
    BOOL present = FALSE;
    std::string text = "O:" + folderOwner + "D:(A;OICI;FA;;;WD)";
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(text.c_str(), 1, descriptor, nullptr))
        return ERROR_INVALID_PARAMETER;
    GetSecurityDescriptorOwner(*descriptor, owner, &defaulted);
    GetSecurityDescriptorDacl(*descriptor, &present, dacl, &defaulted);
    return ERROR_SUCCESS;
}

DWORD WINAPI RecordAccess(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION what, PSID, PSID, PACL dacl,
                          PACL)
{
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE);
    if (what & PROTECTED_DACL_SECURITY_INFORMATION)
        SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    SECURITY_ATTRIBUTES security = {sizeof security, &descriptor, FALSE};
    accessSet = AccessAskedFor(&security);
    return ERROR_SUCCESS;
}

class GuardedInstall : public WindowsTest
{
  protected:
    void TearDown() override
    {
        RemoveTree("C:\\Tool");
        ForgetSampleProducts();
        WindowsTest::TearDown();
    }
};

// A silent install to C:\Tool: under a volume's root every signed-in user may change what is
// made, unless the folder says otherwise. The installation folder and a folder inside it get the
// access list of Program Files; a folder elsewhere (the user's settings), and every folder of a
// run that is not elevated, keeps what it inherits.
TEST_F(GuardedInstall, InstallationFoldersAdmitUsersToReadAndRunOnly)
{
    RemoveTree("C:\\Tool");
    InstallSystemCommandsForTest();
    Sys.CreateDirectoryU = RecordFolder;
    SetVariable("#INSTALLPATH#", "C:\\Tool");
    madeFolders.clear();
    EXPECT_EQ(RunLine("CreateDir \"#INSTALLPATH#\\Sub\""), 0);
    EXPECT_EQ(RunLine("CreateDir \"" + Path("Settings") + "\""), 0);
    Sys.IsUserAnAdmin = NotAnAdministrator;
    EXPECT_EQ(RunLine("CreateDir \"#INSTALLPATH#\\Mine\""), 0);
    std::string made;
    for (const std::string &folder : madeFolders)
        made += folder + "\n";
    EXPECT_EQ(made, std::string("C:\\Tool: ") + kProtected + "\nC:\\Tool\\Sub: " + kProtected +
                        "\n" + Path("Settings") + ": inherited\nC:\\Tool\\Mine: inherited\n");
}

// An installation folder that exists already is used when the system, the administrators or the
// installer service own it, and then gets the access list of a new one; a user's folder (its
// contents could be anything of the user's) is refused, as is a run that cannot tell.
TEST_F(GuardedInstall, AnExistingInstallationFolderMustBeTheAdministrators)
{
    Sys.GetSecurityInfo = OwnedBy;
    Sys.SetSecurityInfo = RecordAccess;
    struct Case {
        const char *owner;
        int result;
        const char *access;
    } cases[] = {
        {"BA", kFolderTrusted, kProtected},
        {"SY", kFolderTrusted, kProtected},
        {"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", kFolderTrusted,
         kProtected},
        {"S-1-5-21-1004336348-1177238915-682003330-1001", kFolderRefused, "unchanged"},
        {"WD", kFolderRefused, "unchanged"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.owner);
        folderOwner = c.owner;
        accessSet = "unchanged";
        EXPECT_EQ(AdoptInstallFolder(Folder.c_str()), c.result);
        EXPECT_EQ(accessSet, c.access);
    }
    // A folder that does not exist yet is made, not adopted.
    EXPECT_EQ(AdoptInstallFolder(Path("new").c_str()), kFolderTrusted);
}

// A stranger renames the running setup and puts another under its name, from a program the
// setup itself runs in the middle of its installation: the setup's file is held from start-up,
// so the rename and the replacement fail, and what is installed is the setup's own, its
// uninstaller with its own uninstall script.
TEST_F(GuardedInstall, ARunningSetupRenamedAndReplacedInstallsItsOwnFiles)
{
    std::string setup = Path("ToolSetup.exe");
    std::string other = Path("Other.exe");
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string script = "PhaseBegin 0\r\nSet #PROGRAM#, Tool\r\nSet #VERSION#, 1.0\r\nPhaseEnd\r\n"
                         "PhaseBegin 1\r\nCreateDir \"#INSTALLPATH#\"\r\nCall \"" +
                         std::string(self) + "\", \"--swap " + setup + " " + other +
                         "\", , Hide\r\nCopyFile EULA.txt, \"#INSTALLPATH#\\EULA.txt\"\r\n"
                         "CopyUninstall \"#INSTALLPATH#\\Uninstall.exe\"\r\nPhaseEnd\r\n";
    const char strangers[] = "PhaseBegin 0\r\nSet #PROGRAM#, Tool\r\nPhaseEnd\r\n"
                             "PhaseBegin 1\r\nError planted by a stranger\r\nPhaseEnd\r\n";
    ASSERT_EQ(PackSample(setup, script), 0u);
    ASSERT_EQ(PackSample(other, strangers, strangers), 0u);
    std::string original = ReadFileText(setup);
    EXPECT_EQ(RunProgram(setup, "C:\\Tool", Folder), 0u);
    EXPECT_EQ(ReadFileText(setup + ".swap"), "renamed no, replaced no");
    EXPECT_EQ(ReadFileText(setup), original);
    EXPECT_EQ(ReadLog(setup + ".log"), "Setup finished successfully!\r\n");
    EXPECT_EQ(ReadFileText("C:\\Tool\\EULA.txt"),
              ReadFileText(std::string("Z:") + SOURCE_DIR + "\\samples\\tool\\EULA.txt"));
    std::string uninstaller = ReadFileText("C:\\Tool\\Uninstall.exe");
    EXPECT_EQ(uninstaller.find("planted by a stranger"), std::string::npos);
    EXPECT_NE(uninstaller.find("PhaseBegin"), std::string::npos);
}

} // namespace

#include "base/security.h"

#include <string.h>

#include "base/syscalls.h"
#include "base/text.h"
#include "base/types.h"

const char kProtectedFolderAccess[] = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// The owners whose folders and objects an elevated run trusts: the system, the administrators
// and the installer service (which owns the system's own folders).
static const char *const kTrustedOwners[] = {
    "S-1-5-18",
    "S-1-5-32-544",
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
};

// The rights that let someone change a folder, what is in it, or who may.
const DWORD kChangingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                              FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC |
                              WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;

const int kTokenElevationTypeFull = 2; // an elevated token whose user also runs unelevated

typedef BOOL(WINAPI *TextToDescriptor)(LPCSTR, DWORD, PSECURITY_DESCRIPTOR *, PULONG);
typedef BOOL(WINAPI *SidToText)(PSID, LPSTR *);
typedef BOOL(WINAPI *TokenQuery)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);

static FARPROC Advapi(const char *name)
{
    return GetProcAddress(GetModuleHandleA("advapi32.dll"), name);
}

static FARPROC Kernel(const char *name)
{
    return GetProcAddress(GetModuleHandleA("kernel32.dll"), name);
}

bool RunsElevated(void)
{
    return Sys.IsUserAnAdmin() != FALSE;
}

// The security descriptor for `access`, to be freed with LocalFree; null when the system has no
// access lists or the text does not convert.
static PSECURITY_DESCRIPTOR DescriptorFor(const char *access)
{
    TextToDescriptor toDescriptor =
        (TextToDescriptor)(void *)Advapi("ConvertStringSecurityDescriptorToSecurityDescriptorA");
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!toDescriptor || !toDescriptor(access, 1 /* SDDL_REVISION_1 */, &descriptor, nullptr))
        return nullptr;
    return descriptor;
}

bool CreateFolderWithAccess(const char *path, const char *access)
{
    SECURITY_ATTRIBUTES security;
    security.nLength = sizeof security;
    security.lpSecurityDescriptor = RunsElevated() ? DescriptorFor(access) : nullptr;
    security.bInheritHandle = FALSE;
    BOOL made = Sys.CreateDirectoryU(path, security.lpSecurityDescriptor ? &security : nullptr);
    DWORD error = GetLastError();
    if (security.lpSecurityDescriptor)
        LocalFree(security.lpSecurityDescriptor);
    SetLastError(error);
    return made != FALSE;
}

// The process's user, in a buffer of `capacity` bytes; and whether an unelevated process of the
// same user may run beside this one (an administrator's split token). False when unknown.
static bool ProcessUser(void *buffer, DWORD capacity, bool *split)
{
    TokenQuery query = (TokenQuery)(void *)Advapi("GetTokenInformation");
    HANDLE token;
    if (!query || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    DWORD size = 0;
    DWORD type = 0;
    bool known = query(token, TokenUser, buffer, capacity, &size) != FALSE;
    *split = query(token, TokenElevationType, &type, sizeof type, &size) &&
             (int)type == kTokenElevationTypeFull;
    CloseHandle(token);
    return known;
}

// True on Wine, which keeps no owners: it reports its one user as the owner of every file, so that
// there the owner tells nothing about who made a folder.
static bool OwnersAreNotKept(void)
{
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

// True when `sid` is a trusted owner; or the process's own user, where no unelevated process of
// that user can run beside this one (no split token: an account without the user account
// control, the system's own, or an older system), so that what it owns only it could have made.
static bool IsTrusted(PSID sid)
{
    SidToText toText = (SidToText)(void *)Advapi("ConvertSidToStringSidA");
    char *text = nullptr;
    if (!sid || !toText || !toText(sid, &text))
        return false;
    bool trusted = false;
    for (const char *owner : kTrustedOwners)
        trusted = trusted || strcmp(text, owner) == 0;
    LocalFree(text);
    union {
        TOKEN_USER user;
        char bytes[256];
    } token;
    bool split = true;
    typedef BOOL(WINAPI * SidsEqual)(PSID, PSID);
    SidsEqual equal = (SidsEqual)(void *)Advapi("EqualSid");
    if (!trusted && equal && ProcessUser(&token, sizeof token, &split) &&
        (!split || OwnersAreNotKept()))
        trusted = equal(sid, token.user.User.Sid) != FALSE;
    return trusted;
}

// True when nobody but trusted accounts may change the object whose access list is `dacl`.
static bool OnlyTrustedMayChange(const ACL *dacl)
{
    if (!dacl)
        return false; /* no list: everyone may do everything */
    const BYTE *ace = (const BYTE *)(dacl + 1);
    const BYTE *end = (const BYTE *)dacl + dacl->AclSize;
    for (WORD i = 0; i < dacl->AceCount; i++) {
        const ACE_HEADER *header = (const ACE_HEADER *)ace;
        if (ace + sizeof(ACCESS_ALLOWED_ACE) > end || header->AceSize < sizeof(ACE_HEADER) ||
            ace + header->AceSize > end)
            return false;
        const ACCESS_ALLOWED_ACE *allowed = (const ACCESS_ALLOWED_ACE *)ace;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE && !(header->AceFlags & INHERIT_ONLY_ACE) &&
            (allowed->Mask & kChangingRights) && !IsTrusted((PSID)&allowed->SidStart))
            return false;
        ace += header->AceSize;
    }
    return true;
}

// Whether the object behind `handle` is owned by a trusted owner and, when `checkAccess`, may be
// changed by trusted accounts only. True on a system without access lists.
static bool TrustedObject(HANDLE handle, SE_OBJECT_TYPE type, bool checkAccess)
{
    if (!Sys.GetSecurityInfo)
        return true;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (Sys.GetSecurityInfo(handle, type, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                            &owner, nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    bool trusted = IsTrusted(owner) && (!checkAccess || OnlyTrustedMayChange(dacl));
    LocalFree(descriptor);
    return trusted;
}

// Opens a folder itself, never what a link in its place points at, shared without deletion.
static HANDLE OpenFolder(const char *path, DWORD access)
{
    return Sys.CreateFileU(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

static bool IsPlainFolder(HANDLE folder)
{
    BY_HANDLE_FILE_INFORMATION information;
    return GetFileInformationByHandle(folder, &information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

int AdoptInstallFolder(const char *path)
{
    if (!RunsElevated() || !PathExists(path))
        return kFolderTrusted;
    HANDLE folder = OpenFolder(path, READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES);
    if (folder == INVALID_HANDLE_VALUE)
        return kFolderRefused;
    int result = kFolderRefused;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    typedef BOOL(WINAPI * DaclOf)(PSECURITY_DESCRIPTOR, LPBOOL, PACL *, LPBOOL);
    DaclOf daclOf = (DaclOf)(void *)Advapi("GetSecurityDescriptorDacl");
    if (!IsPlainFolder(folder) || !TrustedObject(folder, SE_FILE_OBJECT, false))
        goto done;
    result = kFolderTrusted;
    // An upgrade keeps working in a folder of its own making, which from now on has the access
    // list of a new one.
    descriptor = DescriptorFor(kProtectedFolderAccess);
    if (descriptor && Sys.SetSecurityInfo && daclOf &&
        daclOf(descriptor, &present, &dacl, &defaulted) && present)
        Sys.SetSecurityInfo(folder, SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, dacl, nullptr); /* best effort */
done:
    if (descriptor)
        LocalFree(descriptor);
    CloseHandle(folder);
    return result;
}

HANDLE HoldOwnFolder(const char *path)
{
    // Listing access: the sharing of a handle without data access is not checked, and would not
    // keep anybody from renaming the folder.
    HANDLE folder = OpenFolder(path, FILE_LIST_DIRECTORY | READ_CONTROL | FILE_READ_ATTRIBUTES);
    if (folder != INVALID_HANDLE_VALUE &&
        (!IsPlainFolder(folder) ||
         (RunsElevated() && !TrustedObject(folder, SE_FILE_OBJECT, true)))) {
        CloseHandle(folder);
        folder = INVALID_HANDLE_VALUE;
    }
    return folder;
}

// True when the process runs as the system's own account.
static bool RunsAsSystem(void)
{
    union {
        TOKEN_USER user;
        char bytes[256];
    } token;
    bool split = false;
    SidToText toText = (SidToText)(void *)Advapi("ConvertSidToStringSidA");
    char *text = nullptr;
    if (!toText || !ProcessUser(&token, sizeof token, &split) ||
        !toText(token.user.User.Sid, &text))
        return false;
    bool system = strcmp(text, "S-1-5-18") == 0;
    LocalFree(text);
    return system;
}

bool EngineTempFolder(char *folder, size_t capacity)
{
    char path[kPathSize];
    DWORD n = 0;
    if (RunsAsSystem()) {
        typedef DWORD(WINAPI * TempPath2)(DWORD, LPWSTR);
        TempPath2 systemTemp = (TempPath2)(void *)Kernel("GetTempPath2W");
        WCHAR wide[MAX_PATH + 1];
        if (systemTemp) {
            n = systemTemp(MAX_PATH + 1, wide);
            if (n == 0 || n > MAX_PATH || !TextFromWide(wide, path, sizeof path))
                n = 0;
            else
                n = (DWORD)strlen(path);
        } else {
            // The Windows folder admits only administrators to make anything in it, so nobody
            // else can have made this folder first.
            n = GetWindowsDirectoryU(path, sizeof path);
            if (n > 0 && n < sizeof path && !AppendText(path, sizeof path, "\\VeltranoTemp"))
                n = 0;
            if (n > 0 && n < sizeof path &&
                !CreateFolderWithAccess(path, "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)") &&
                GetLastError() != ERROR_ALREADY_EXISTS)
                n = 0;
        }
    } else {
        n = GetTempPathU(sizeof path, path);
    }
    if (n == 0 || n >= sizeof path)
        return false;
    size_t length = strlen(path);
    while (length > 0 && path[length - 1] == '\\')
        path[--length] = 0;
    return CopyText(folder, capacity, path);
}

// The guard's access list: only the system and administrators may take or open it.
const char kGuardAccess[] = "O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)";

// Opens the private namespace of the engine's guards, bound to the administrators: a process
// that is not elevated can neither create it nor open it. Null where the system has none.
static HANDLE GuardNamespace(SECURITY_ATTRIBUTES *security)
{
    typedef HANDLE(WINAPI * NewBoundary)(LPCSTR, ULONG);
    typedef BOOL(WINAPI * AddSid)(HANDLE *, PSID);
    typedef HANDLE(WINAPI * NewNamespace)(LPSECURITY_ATTRIBUTES, LPVOID, LPCSTR);
    typedef HANDLE(WINAPI * OldNamespace)(LPVOID, LPCSTR);
    NewBoundary newBoundary = (NewBoundary)(void *)Kernel("CreateBoundaryDescriptorA");
    AddSid addSid = (AddSid)(void *)Kernel("AddSIDToBoundaryDescriptor");
    NewNamespace newNamespace = (NewNamespace)(void *)Kernel("CreatePrivateNamespaceA");
    OldNamespace oldNamespace = (OldNamespace)(void *)Kernel("OpenPrivateNamespaceA");
    typedef BOOL(WINAPI * TextToSid)(LPCSTR, PSID *);
    TextToSid toSid = (TextToSid)(void *)Advapi("ConvertStringSidToSidA");
    PSID administrators = nullptr;
    if (!newBoundary || !addSid || !newNamespace || !oldNamespace || !toSid ||
        !toSid("S-1-5-32-544", &administrators))
        return nullptr;
    HANDLE space = nullptr;
    HANDLE boundary = newBoundary("VeltranoSetup", 0);
    if (boundary && addSid(&boundary, administrators)) {
        space = newNamespace(security, boundary, "VeltranoSetup");
        if (!space && GetLastError() == ERROR_ALREADY_EXISTS)
            space = oldNamespace(boundary, "VeltranoSetup");
    }
    LocalFree(administrators);
    /* the boundary stays with the namespace until the process ends */
    return space;
}

bool TakeProductGuard(const char *name, bool global, HANDLE *held)
{
    SECURITY_ATTRIBUTES security;
    security.nLength = sizeof security;
    // Only an elevated run may name the administrators as the guard's owner.
    security.lpSecurityDescriptor = RunsElevated() ? DescriptorFor(kGuardAccess) : nullptr;
    security.bInheritHandle = FALSE;
    SECURITY_ATTRIBUTES *guarded = security.lpSecurityDescriptor ? &security : nullptr;
    char full[kPathSize];
    bool fits = false;
    HANDLE space = GuardNamespace(guarded);
    if (space)
        fits = FormatText(full, sizeof full, "VeltranoSetup\\%s", name);
    else
        fits = FormatText(full, sizeof full, "%s%s", global ? "Global\\" : "", name);
    HANDLE guard = fits ? CreateMutexU(guarded, FALSE, full) : nullptr;
    bool taken = true; /* a guard that cannot be made does not stop the run */
    // Under the global name anyone may have made the object first: only one made by an
    // elevated run of the engine, owned by a trusted owner with the guard's access list, stands
    // for another run.
    if (guard && GetLastError() == ERROR_ALREADY_EXISTS)
        taken = !space && !TrustedObject(guard, SE_KERNEL_OBJECT, true);
    else if (!guard && GetLastError() == ERROR_ACCESS_DENIED)
        taken = !space; /* under the global name: someone's object that shuts out administrators */
    if (guard && !taken) {
        CloseHandle(guard);
        guard = nullptr;
    }
    *held = guard;
    if (security.lpSecurityDescriptor)
        LocalFree(security.lpSecurityDescriptor);
    return taken;
}

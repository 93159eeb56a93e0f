#include "engine/run.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "archive/archive.h"
#include "base/globals.h"
#include "base/security.h"
#include "base/syscalls.h"
#include "base/unicode.h"
#include "base/text.h"
#include "commands/commands.h"
#include "commands/files.h"
#include "commands/journal.h"
#include "commands/record_codec.h"
#include "engine/log.h"
#include "engine/selfremoval.h"
#include "engine/startup.h"
#include "engine/switches.h"
#include "resources/resource.h"
#include "script/interpreter.h"
#include "script/phase_thread.h"
#include "script/scanner.h"
#include "script/variables.h"
#include "ui/messages.h"
#include "ui/wizard.h"

enum {
    kExtraFileGrowth = 16,
    kScriptMissing = 1,
    kWorkerStopMs = 10000,
};

static void AddExtraFile(const char *path)
{
    if (ExtraFileCount == ExtraFileCapacity) {
        int capacity = ExtraFileCapacity + kExtraFileGrowth;
        void *grown = realloc(ExtraFiles, sizeof *ExtraFiles * (size_t)capacity);
        if (!grown)
            return; /* the list cannot grow: the argument is dropped */
        ExtraFiles = (char(*)[kPathSize])grown;
        ExtraFileCapacity = capacity;
    }
    CopyText(ExtraFiles[ExtraFileCount++], kPathSize, path);
}

void ParseCommandLine(const char *commandLine)
{
    const char *cursor = commandLine;
    const char *end = commandLine + strlen(commandLine);
    char argument[kPathSize];
    while (NextCommandLineArgument(&cursor, end, argument, sizeof argument)) {
        if (argument[0] == 0)
            continue;
        if (SilentMode) {
            AddExtraFile(argument);
            continue;
        }
        const char *slash = strrchr(argument, '\\');
        if (strchr(slash ? slash + 1 : argument, '.')) {
            AddExtraFile(argument);
        } else {
            SetVariable("#INSTALLPATH#", argument);
            SilentMode = true;
        }
    }
}

static bool EndsWithIgnoringCase(const char *text, const char *tail)
{
    size_t n = strlen(text);
    size_t m = strlen(tail);
    return n >= m && EqualIgnoringCase(text + n - m, tail);
}

// The script as the engine reads it (`text` as loaded, `*length` bytes): UTF-8 without its
// byte-order mark. A script that is not UTF-8 was saved in the system code page, as scripts
// were before, and is converted. Null when that fails (the loaded text is then freed).
static const char *ScriptText(char *text, uint32_t *length)
{
    const char *start = AfterByteOrderMark(text);
    size_t skipped = (size_t)(start - text);
    if (IsValidUtf8(start, *length - skipped)) {
        memmove(text, start, *length - skipped + 1);
        *length -= (uint32_t)skipped;
        return text;
    }
    size_t capacity = (size_t)*length * 3 + 1;
    char *converted = (char *)malloc(capacity);
    if (converted && !TextFromCodePage(text, converted, capacity)) {
        free(converted);
        converted = nullptr;
    }
    free(text);
    *length = converted ? (uint32_t)strlen(converted) : 0;
    return converted;
}

// Everything before the wizard or the silent run. Returns 0, or the internal failure.
static int StartUp(void)
{
    // A setup that was cut or damaged on its way installs nothing: its whole archive is walked
    // before anything else is done. A bare engine, which carries no archive at all, runs the
    // scripts beside it: the vendor's way of trying a script without packing it.
    if (RunMode == 0 && !EngineIsBare() && !ArchiveIsComplete())
        return kErrArchive;
    uint32_t length = 0;
    uint8_t *text = LoadFileOrEntry(RunMode == 0 ? "Setup.vis" : "Uninstall.vis", 1, &length);
    if (!text)
        return kScriptMissing;
    text[length] = 0;
    Script = ScriptText((char *)text, &length);
    ScriptLength = length;
    return Script ? SetInstallVariables() : kScriptMissing;
}

// A setup that asked for a rollback keeps its journal until it has succeeded, and plays it
// backwards when it did not: whatever ended it early (a failed phase, a cancelled wizard).
static void EndJournal(void)
{
    if (!JournalRecording())
        return;
    bool succeeded = RunOutcome == kExitFinished || RunOutcome == kExitRestartNeeded;
    if (succeeded) {
        CommitJournal();
        return;
    }
    RollBack(0);
    if (JournalRolledBack())
        RunOutcome = kExitFailed;
}

static void RunSilently(void)
{
    SetVariable("#FORWHO#", "1");
    SetVariable("#CUSTOMLOC#", "0");
    UseAllUsersFolders();
    RunPhase(0);
    FollowScriptLanguage();
    // An installation folder that a user made is refused before anything is written.
    if (LastErrorCode == kOk && RunMode == 0 &&
        AdoptInstallFolder(GetVariableText("#INSTALLPATH#")) != kFolderTrusted)
        LastErrorCode = kErrFolderNotTrusted;
    if (LastErrorCode == kOk)
        RunPhase(1);
    SetVariable("#EXECUTE#", "0");
    SetVariable("#README#", "0");
    if (LastErrorCode == kOk) {
        SetInstallSize();
        RunPhase(2);
    }
    if (LastErrorCode != kOk)
        RunOutcome = kExitFailed;
    EndJournal();
    WriteInstallLog();
}

// Only one setup or uninstaller of a product runs at a time, across all sessions of the
// computer: a named mutex per product, held until the process ends, which no user can take
// first. False when another run holds it.
static bool TakeRunGuard(void)
{
    char name[kPathSize];
    bool fits = FormatText(name, sizeof name, "VeltranoSetup-%s", GetVariableText("#PROGRAM#"));
    for (char *c = name; fits && *c; c++) {
        if (*c == '\\')
            *c = '_';
    }
    // Names with the session prefix exist from Windows 2000 on.
    HANDLE guard = nullptr; /* held until the process ends */
    return !fits || TakeProductGuard(name, OsCode >= 16, &guard);
}

int RunEngine(void *instance, const char *commandLine)
{
    InitScriptThreading();
    InstallSystemCommands();
    InstallCommandLog();
    ParseCommandLine(commandLine);
    ApplySwitches();

    Instance = instance;
    DWORD n = GetModuleFileNameU((HMODULE)instance, EngineFilePath, sizeof EngineFilePath);
    if (n == 0 || n >= sizeof EngineFilePath)
        EngineFilePath[0] = 0;
    // Every read of the setup's own data goes through this one handle, taken before anything
    // else: the file under the name could be another by the time of a later read.
    bool engineHeld = HoldEngineFile();
    OpenExtraFiles();
    RunMode = strncmp(ModeMarker + 10, "Setup", 5) == 0 ? 0 : 1;
    BuildCrcTable();
    ProbeSystem();
    SetStartupVariables();
    int early = kOk;
    if (EndsBeforeStartUp(&early))
        return early;

    // The uninstaller in the installation folder only runs its copy, so that the uninstall
    // script can delete it, and hands on the copy's exit code.
    int startup = kOk;
    if (!engineHeld) {
        startup = kErrArchive;
    } else if (RunMode == 1 && !EndsWithIgnoringCase(EngineFilePath, kTemporaryCopy)) {
        DWORD code = 0;
        startup = RelaunchFromTemporaryFolder(CommandLineForCopy(commandLine), &code);
        if (startup == kOk)
            return (int)code;
    } else {
        startup = StartUp();
    }

    RunOutcome = kExitFinished;
    if (startup != kOk) {
        RunOutcome = kExitStartupFailed;
    } else if (Is64BitWindows && GetVariableNumber("#NOX64#") == 1) {
        if (!SilentMode)
            ShowMessage(nullptr, IDS_NO_64BIT, MB_OK | MB_ICONHAND);
        return kExitRefused64Bit;
    } else if (!AcceptFolderAfterStartUp()) {
        return kExitBadCommandLine;
    } else if (!TakeRunGuard()) {
        // Another run of this product is on: a deployment tool tries again later; a person is
        // told. Nothing else happens, and no log replaces the other run's.
        if (!SilentMode)
            ShowMessage(nullptr, IDS_ALREADY_RUNNING, MB_OK | MB_ICONHAND);
        return kExitAlreadyRunning;
    } else {
        if (RunMode == 0 && GetVariableNumber("#ROLLBACK#") == 1)
            StartJournal();
        if (SilentMode) {
            RunSilently();
        } else {
            // Only the wizard draws with the fonts; a silent run does not pay for them (asking
            // the system for its message font loads the display driver).
            CreateSharedFonts(WindowDpi(nullptr));
            RunWizard();
            DestroyWizardControls();
        }
    }

    // A wizard left during phase 1 does not wait for the worker; it stops at its next command
    // (a waiting Call ends its program), and nothing it uses may be released before.
    bool workerEnded = WaitForPhaseThread(kWorkerStopMs);
    if (workerEnded)
        EndJournal();
    if (startup == kOk && !WizardCancelled)
        CopyExtraFiles();
    // A silent run never restarts Windows: it asks for the restart by its exit code.
    bool restartWanted = startup == kOk && SilentMode && GetVariable("#REBOOT#", nullptr, 0) >= 0;
    if (workerEnded) {
        free((void *)Script);
        Script = nullptr;
        DeleteSharedFonts();
    }

    if (startup != kOk) {
        if (SilentMode) {
            // Nobody is there to answer a message box: the log tells of the failure.
            LastErrorCode = kErrStartup;
            WriteInstallLog();
        } else {
            ShowErrorMessage(nullptr, kErrStartup);
        }
    }
    // Files in use are replaced or deleted when Windows restarts: the person is asked to restart,
    // a deployment tool told by 3010.
    if (startup == kOk && RestartNeeded) {
        restartWanted = true;
        if (!SilentMode)
            RebootRequested = 1;
    }
    if (RebootRequested) {
        restartWanted = true;
        if (!NoRestart &&
            ShowMessage(nullptr, IDS_RESTART, MB_OKCANCEL | MB_ICONEXCLAMATION) == IDOK) {
            if (RunMode == 1)
                Sleep(5);
            restartWanted = !RestartWindows();
        }
    }
    if (RunOutcome == kExitFinished && restartWanted)
        RunOutcome = kExitRestartNeeded;
    // A run with the wizard writes no log, unless the script asked for detail lines.
    if (!SilentMode && startup == kOk && (CommandLogOpen() || LogFilePath[0]))
        WriteInstallLog();
    CloseInstallLog(RunOutcome);
    return RunOutcome;
}

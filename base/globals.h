// Process-wide state of the engine, defined once in globals.cpp. System handles are held as
// void * so that the portable core compiles without system headers.
#pragma once

#include "base/types.h"

extern int RunMode;         // 0 Setup, 1 Uninstall; fixed during start-up
extern bool SilentMode;     // installation path given on the command line: no wizard
extern int OsCode;          // Windows version class (1..248), 0 until probed
extern bool Is64BitWindows; // the engine runs on 64-bit Windows, false until probed

extern void *Instance;                 // the executable's module handle
extern char EngineFilePath[kPathSize]; // full path of the running executable
extern size_t ArchiveStart;            // offset after the archive's header magic; 0 not yet found
extern void *EngineFile;               // the engine file, open while ArchiveStart is not 0
extern ArchiveIndexData ArchiveIndex;  // the archive's entries, indexed with ArchiveStart

extern const char *Script;  // loaded script of the mode, NUL-terminated; null if none
extern size_t ScriptLength; // its length without the terminator

extern VariableTableData VariableTable;               // named variables, see script/variables.h
extern TableLockHooks VariableTableLock;              // guards VariableTable across threads
extern char ArgumentSlots[kArgumentCount][kTextSize]; // arguments of the running command

extern int LastErrorCode; // result of the most recent command or phase
// A system call failed because a text did not convert for it (base/syscalls.h); the
// interpreter clears it before each command and reports such a failure as kErrTextNotConverted.
extern volatile bool TextNotConverted;
extern void *ProgressWindow;              // window that receives progress messages; null when none
extern ProgressSendFunction ProgressSend; // how progress messages reach ProgressWindow
extern char StatusText[kTextSize];        // first status line, last text sent
extern char Status2Text[kTextSize];       // second status line (Status2 command)
extern unsigned char ConditionStack[kConditionLevels]; // 1 branch runs, 2 skipped, 0 closed
extern int ConditionDepth;                             // open levels; never reset between phases
extern void *PhaseThread;            // handle of the phase 1 worker thread, null when none
extern ScriptLine FailedLine;        // the line of the last command that failed; number 0 when none
extern char DamagedEntry[kPathSize]; // the archive entry last found damaged; empty when none
extern char CommandNote[kTextSize];  // what the running command passed over, for its detail line
extern CommandObserverHooks CommandObserver; // told of every command run; null hooks: nobody
extern void (*PhaseEndHook)(void); // called when a phase has ended, however; null: nothing

extern int ResourceLanguage; // language ID of the resources the wizard shows (0x0C07: English)
extern LanguageTextFunction LanguageText; // status formats in the wizard's language; null: English

extern char ModeMarker[16];        // "SetupMode:Setup"; the uninstaller's copy says "Unins"
extern char LinkText[kPathSize];   // hyperlink text of the wizard pages (#URLTEXT#)
extern char LinkTarget[kPathSize]; // hyperlink target of the wizard pages (#URLLINK#)

extern char (*ExtraFiles)[kPathSize]; // command-line files to copy into the installation folder
extern int ExtraFileCount;
extern int ExtraFileCapacity;

extern void *TitleFont; // fonts of the user interface, null until start-up made them
extern void *TextFont;
extern void *BoldFont;
extern void *LinkFont;
extern unsigned FontDpi; // the DPI the fonts were made for, 0 until made

extern void *FrameWindow; // the wizard's frame dialog, null when the wizard is not open
extern void *CurrentPage; // the page that receives the commands the frame forwards

extern volatile unsigned char WizardCancelled; // the wizard was left other than by Finish
extern volatile unsigned char RebootRequested; // Finish found #REBOOT# defined
extern int RunOutcome; // the exit code a cancel or failure gave the run; 0 while it goes well
extern char LogFilePath[kPathSize]; // /LOG=: where the log goes; empty: its usual place
extern bool NoRestart;              // /NORESTART: never restart Windows, 3010 asks for it
extern bool RestartNeeded;          // a file in use is replaced or deleted when Windows next starts

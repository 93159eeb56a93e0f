#include "base/globals.h"

int RunMode = 0;
bool SilentMode = false;
int OsCode = 0;
bool Is64BitWindows = false;

void *Instance = nullptr;
char EngineFilePath[kPathSize];
size_t ArchiveStart = 0;
void *EngineFile = nullptr;
ArchiveIndexData ArchiveIndex;

const char *Script = nullptr;
size_t ScriptLength = 0;

VariableTableData VariableTable = {nullptr, 0, 0};
TableLockHooks VariableTableLock = {nullptr, nullptr};
char ArgumentSlots[kArgumentCount][kTextSize];

int LastErrorCode = 0;
volatile bool TextNotConverted = false;
void *ProgressWindow = nullptr;
ProgressSendFunction ProgressSend = nullptr;
char StatusText[kTextSize];
char Status2Text[kTextSize];
unsigned char ConditionStack[kConditionLevels];
int ConditionDepth = 0;
void *PhaseThread = nullptr;
ScriptLine FailedLine;
char DamagedEntry[kPathSize];
char CommandNote[kTextSize];
CommandObserverHooks CommandObserver = {nullptr, nullptr};
void (*PhaseEndHook)(void) = nullptr;

int ResourceLanguage = 0x0C07;
LanguageTextFunction LanguageText = nullptr;

// Writable data, so that the uninstaller writer can find and rewrite it in the image.
char ModeMarker[16] = "SetupMode:Setup";
char LinkText[kPathSize] = "www.veltrano.com";
char LinkTarget[kPathSize] = "http://www.veltrano.com/";

char (*ExtraFiles)[kPathSize] = nullptr;
int ExtraFileCount = 0;
int ExtraFileCapacity = 0;

void *TitleFont = nullptr;
void *TextFont = nullptr;
void *BoldFont = nullptr;
void *LinkFont = nullptr;
unsigned FontDpi = 0;

void *FrameWindow = nullptr;
void *CurrentPage = nullptr;

volatile unsigned char WizardCancelled = 0;
volatile unsigned char RebootRequested = 0;
int RunOutcome = 0;
char LogFilePath[kPathSize];
bool NoRestart = false;
bool RestartNeeded = false;

// Start-up probing and the built-in variables.
#pragma once

// The maker's web address: default of #BUYURL# and of the pages' hyperlink.
extern const char kMakerUrl[];

// Determines OsCode and Is64BitWindows. The 64-bit build runs only on 64-bit Windows and
// reports the flag as the 32-bit engine would there.
void ProbeSystem(void);

// First group: mode name, licence entry, OS code, 64-bit flag, system folders and the per-user
// and all-users shell folders (looked up as the logged-on user), #BUYURL#.
void SetStartupVariables(void);

// Takes the language phase 0 may have forced with #LANGUAGE#: the wizard's language is chosen
// again from it, and #LANGUAGE# and #SETUPMODE# then tell the choice.
void FollowScriptLanguage(void);

// Sets #STARTUPDIR#, #STARTMENU# and #DESKTOPDIR# to the all-users folders.
void UseAllUsersFolders(void);

// Second group: runs phase 0, then restores the installation variables from an earlier
// installation's record or sets their defaults, and takes the hyperlink text and target.
// Returns 0, or the non-zero LastErrorCode phase 0 left.
int SetInstallVariables(void);

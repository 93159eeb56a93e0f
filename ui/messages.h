// Message boxes from the string table, the result-code-to-message map, and #NAME# expansion in
// dialog texts.
#pragma once

#include <windows.h>

// Passed as owner to ShowErrorMessage: only look the message id up, show nothing.
#define MESSAGE_ID_ONLY ((HWND)(intptr_t)-1)

// Loads message `id` (at most 1023 characters), expands it, and shows it with the mode word as
// caption. Returns the message box result.
int ShowMessage(HWND owner, UINT id, UINT type);

// The message and buttons for a result code. With MESSAGE_ID_ONLY as owner it returns the
// message id; otherwise it shows the message with MB_ICONHAND and returns the button pressed.
int ShowErrorMessage(HWND owner, int code);

// Expands the placeholders in the dialog's caption and in every descendant's text (each read
// as at most 259 characters); the default push button gets BoldFont.
void ExpandDialogTexts(HWND dialog);

// Reads the edit control into buffer (260 bytes), strips trailing backslashes, and accepts an
// absolute or network path. Otherwise shows message 1039, selects the text and returns false.
bool CheckAbsolutePath(HWND page, int editId, char *buffer);

// Loads a string-table message into buffer and expands its placeholders within capacity.
void LoadExpandedMessage(UINT id, char *buffer, size_t capacity);

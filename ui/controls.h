// The two custom controls of the wizard pages: the white banner across the top (title,
// subtitle, the mode's icon) and the hyperlink that opens a web address or a folder with the
// shell. Each object takes over a placeholder static of the page: its place, its size and its
// text, and owns one child window in its place. Objects are plain data (no constructor) and
// live for the whole process; Destroy releases the window.
//
// Display scale: what the wizard sizes in pixels itself (the four shared fonts, the banner's
// icon, the link's margins) is chosen for 96 DPI and scaled to the DPI of the monitor that
// shows the wizard, the DPI the shared fonts were made for (FontDpi).
#pragma once

#include <windows.h>

#include "base/types.h"

enum { kDefaultDpi = 96 };

// The DPI of the monitor that shows `window`, or the system's for a null window: asked of the
// window (Windows 10), else of its monitor (Windows 8.1), else of the display's device context.
unsigned WindowDpi(HWND window);

// `pixels` at 96 DPI scaled to `dpi`.
int ScalePixels(int pixels, unsigned dpi);

// Makes the four shared fonts for `dpi` (FontDpi), replacing and deleting those made before:
// TitleFont 16 pixels bold Arial, the system's message font as TextFont, bold as BoldFont and
// underlined as LinkFont ("MS Shell Dlg" 14 pixels when the system does not tell its message
// font), all sizes scaled from 96 DPI.
void CreateSharedFonts(unsigned dpi);

// True when the shared fonts exist and were made for `dpi`.
bool SharedFontsFit(unsigned dpi);

void DeleteSharedFonts(void);

// The text of a window or of dialog control `id`, set from engine text of any length or read
// back into engine text (cut at a character boundary), through the wide calls.
void SetText(HWND window, const char *text);
void SetItemText(HWND dialog, int id, const char *text);
void GetText(HWND window, char *out, size_t capacity);
void GetItemText(HWND dialog, int id, char *out, size_t capacity);

class CBannerWnd
{
  public:
    // Replaces the placeholder with the banner and takes the texts of the title and subtitle
    // statics, which it removes. False when the window could not be created.
    bool Create(HWND parentDialog, int placeholderId, int titleId, int subtitleId,
                int iconIdToDraw);
    void Destroy();

    int controlId;
    HWND window;
    HWND parent;
    int iconId;
    RECT bannerRect; // the window's client area when it was made; the rectangles below are
    RECT titleRect;  // scaled with the window when the display's scale changes its size
    RECT subtitleRect;
    WCHAR title[kPathSize];
    WCHAR subtitle[kPathSize];
    HICON icon;   // loaded at the first paint of the window, released with the window
    int iconSize; // its size in pixels: 48 at 96 DPI

  private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Paint(HDC dc);
    void TakeText(int id, RECT *rect, WCHAR *text);
    void ScaledRect(const RECT *made, const RECT *client, RECT *out) const;
};

class CHyperlinkWnd
{
  public:
    // Replaces the placeholder with a link showing the placeholder's text; `target` (or the
    // text when null) is what the shell opens. Style 0 draws with BoldFont, others LinkFont.
    bool Create(HWND parentDialog, int placeholderId, const char *linkTarget, int linkStyle);
    void Destroy();

    int controlId;
    HWND window;
    HWND parent;
    WCHAR text[kPathSize];
    WCHAR target[kPathSize];
    RECT rect;
    int style;

  private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    HFONT Font() const;
    void FitToText();
};

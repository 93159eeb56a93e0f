// The two custom controls of the wizard pages: the white banner across the top (title,
// subtitle, the mode's icon) and the hyperlink that opens a web address or a folder with the
// shell. Each object takes over a placeholder static of the page: its place, its size and its
// text, and owns one child window in its place. Objects are plain data (no constructor) and
// live for the whole process; Destroy releases the window.
#pragma once

#include <windows.h>

#include "base/types.h"

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
    RECT bannerRect;
    RECT titleRect;
    RECT subtitleRect;
    char title[kPathSize];
    char subtitle[kPathSize];
    HICON icon; // loaded at the first paint of the window, released with the window

  private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Paint(HDC dc);
    void TakeText(int id, RECT *rect, char *text);
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
    char text[kPathSize];
    char target[kPathSize];
    RECT rect;
    int style;

  private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    HFONT Font() const;
};

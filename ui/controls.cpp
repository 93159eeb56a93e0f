#include "ui/controls.h"

#include <shellapi.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "base/globals.h"
#include "base/syscalls.h"
#include "base/text.h"
#include "ui/language.h"

static const WCHAR kBannerClass[] = L"CBannerWnd";
static const WCHAR kLinkClass[] = L"CHyperlinkWnd";

enum {
    kIconSize = 48,
    kIconFormat = 0x30000,
    kLinkColour = 0x00FF0000, // blue
    kBannerTextFlags = DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS,
    kTitleFontHeight = 16,
    kFallbackFontHeight = 14,
    kNonClientMetricsSize = 504, // the wide structure with its padded-border field
    kEffectiveDpi = 0,           // MDT_EFFECTIVE_DPI
    // Sent to the windows of a program that follows the display's scale (Windows 8.1 and 10).
    kMsgDpiChangedAfterParent = 0x02E3, // WM_DPICHANGED_AFTERPARENT
};

void SetText(HWND window, const char *text)
{
    size_t units = strlen(text) + 1; // no character takes more UTF-16 units than UTF-8 bytes
    WCHAR *wide = (WCHAR *)malloc(units * sizeof(WCHAR));
    if (!wide)
        return;
    ToWide(text, wide, units);
    SetWindowTextW(window, wide);
    free(wide);
}

void SetItemText(HWND dialog, int id, const char *text)
{
    SetText(GetDlgItem(dialog, id), text);
}

void GetText(HWND window, char *out, size_t capacity)
{
    out[0] = 0;
    // A UTF-8 text of `capacity` bytes holds at most as many UTF-16 units.
    WCHAR *wide = (WCHAR *)malloc(capacity * sizeof(WCHAR));
    if (!wide)
        return;
    wide[0] = 0;
    GetWindowTextW(window, wide, (int)capacity);
    FromWide(wide, out, capacity);
    free(wide);
}

void GetItemText(HWND dialog, int id, char *out, size_t capacity)
{
    GetText(GetDlgItem(dialog, id), out, capacity);
}

unsigned WindowDpi(HWND window)
{
    typedef UINT(WINAPI * DpiForWindow)(HWND);
    typedef HMONITOR(WINAPI * MonitorOfWindow)(HWND, DWORD);
    typedef HRESULT(WINAPI * DpiForMonitor)(HMONITOR, int, UINT *, UINT *);
    HMODULE user = GetModuleHandleA("user32.dll");
    if (window) {
        DpiForWindow forWindow = (DpiForWindow)(void *)GetProcAddress(user, "GetDpiForWindow");
        UINT dpi = forWindow ? forWindow(window) : 0;
        if (dpi)
            return dpi;
        MonitorOfWindow monitorOf =
            (MonitorOfWindow)(void *)GetProcAddress(user, "MonitorFromWindow");
        HMODULE shell = monitorOf ? LoadSystemLibrary("shcore.dll") : nullptr;
        DpiForMonitor forMonitor =
            shell ? (DpiForMonitor)(void *)GetProcAddress(shell, "GetDpiForMonitor") : nullptr;
        UINT x = 0, y = 0;
        bool known = forMonitor && SUCCEEDED(forMonitor(monitorOf(window, MONITOR_DEFAULTTONEAREST),
                                                        kEffectiveDpi, &x, &y));
        if (shell)
            FreeLibrary(shell);
        if (known && y)
            return y;
    }
    HDC dc = GetDC(window);
    int dpi = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 0;
    if (dc)
        ReleaseDC(window, dc);
    return dpi > 0 ? (unsigned)dpi : (unsigned)kDefaultDpi;
}

int ScalePixels(int pixels, unsigned dpi)
{
    return MulDiv(pixels, (int)dpi, kDefaultDpi);
}

static HFONT MakeFont(LOGFONTW *font, int weight, BOOL underline)
{
    font->lfWeight = weight;
    font->lfUnderline = (BYTE)underline;
    return CreateFontIndirectW(font);
}

// The system's message font at `dpi`: asked for that DPI where the system can (Windows 10),
// else at the system's DPI and scaled. False when the system does not tell it.
static bool MessageFont(unsigned dpi, LOGFONTW *font)
{
    typedef BOOL(WINAPI * MetricsForDpi)(UINT, UINT, PVOID, UINT, UINT);
    // The structure as the query wants it, with the padded-border field that headers for older
    // systems leave out.
    union {
        NONCLIENTMETRICSW fields;
        char bytes[kNonClientMetricsSize];
    } metrics;
    memset(&metrics, 0, sizeof metrics);
    metrics.fields.cbSize = kNonClientMetricsSize;
    MetricsForDpi forDpi = (MetricsForDpi)(void *)GetProcAddress(GetModuleHandleA("user32.dll"),
                                                                 "SystemParametersInfoForDpi");
    bool found = forDpi && forDpi(SPI_GETNONCLIENTMETRICS, kNonClientMetricsSize, &metrics, 0, dpi);
    if (!found) {
        found = SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, kNonClientMetricsSize, &metrics, 0);
        metrics.fields.lfMessageFont.lfHeight =
            MulDiv(metrics.fields.lfMessageFont.lfHeight, (int)dpi, (int)WindowDpi(nullptr));
    }
    *font = metrics.fields.lfMessageFont;
    return found && font->lfFaceName[0] != 0;
}

void DeleteSharedFonts(void)
{
    void **fonts[] = {&TitleFont, &TextFont, &BoldFont, &LinkFont};
    for (void **font : fonts) {
        if (*font)
            DeleteObject((HGDIOBJ)*font);
        *font = nullptr;
    }
    FontDpi = 0;
}

bool SharedFontsFit(unsigned dpi)
{
    return FontDpi == dpi && TitleFont && TextFont && BoldFont && LinkFont;
}

void CreateSharedFonts(unsigned dpi)
{
    DeleteSharedFonts();
    LOGFONTW font;
    ZeroMemory(&font, sizeof font);
    font.lfHeight = ScalePixels(kTitleFontHeight, dpi);
    font.lfCharSet = DEFAULT_CHARSET;
    CopyMemory(font.lfFaceName, L"Arial", sizeof L"Arial");
    TitleFont = MakeFont(&font, FW_BOLD, FALSE);
    if (!MessageFont(dpi, &font)) {
        ZeroMemory(&font, sizeof font);
        font.lfHeight = ScalePixels(kFallbackFontHeight, dpi);
        font.lfCharSet = DEFAULT_CHARSET;
        CopyMemory(font.lfFaceName, L"MS Shell Dlg", sizeof L"MS Shell Dlg");
        TextFont = MakeFont(&font, FW_NORMAL, FALSE);
    } else {
        TextFont = CreateFontIndirectW(&font);
    }
    BoldFont = MakeFont(&font, FW_BOLD, FALSE);
    LinkFont = MakeFont(&font, FW_NORMAL, TRUE);
    FontDpi = dpi;
}

// Registers a class of this module. A second registration of the same class fails harmlessly.
static void RegisterWindowClass(const WCHAR *name, WNDPROC procedure, HCURSOR cursor, HBRUSH brush)
{
    WNDCLASSW windowClass;
    ZeroMemory(&windowClass, sizeof windowClass);
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = (HINSTANCE)Instance;
    windowClass.hCursor = cursor;
    windowClass.hbrBackground = brush;
    windowClass.lpszClassName = name;
    RegisterClassW(&windowClass); /* best effort: already registered is fine */
}

// Takes the placeholder's client size and its top-left corner in parent coordinates, then
// removes it. The rectangle holds left, top and right = width, bottom = height.
static bool TakePlaceholder(HWND parent, int id, RECT *place, WCHAR *text, size_t capacity)
{
    HWND placeholder = GetDlgItem(parent, id);
    if (!placeholder)
        return false;
    RECT client;
    GetClientRect(placeholder, &client);
    POINT corner = {0, 0};
    MapWindowPoints(placeholder, parent, &corner, 1);
    place->left = corner.x;
    place->top = corner.y;
    place->right = client.right;
    place->bottom = client.bottom;
    if (text) {
        text[0] = 0;
        GetWindowTextW(placeholder, text, (int)capacity);
    }
    DestroyWindow(placeholder);
    return true;
}

static HWND CreateControlWindow(const WCHAR *className, HWND parent, int id, const RECT *place,
                                void *object)
{
    HWND window = CreateWindowExW(0, className, L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP,
                                  place->left, place->top, place->right, place->bottom, parent,
                                  (HMENU)(INT_PTR)id, (HINSTANCE)Instance, nullptr);
    if (window)
        SetWindowLongPtrW(window, GWLP_USERDATA, (LONG_PTR)object);
    return window;
}

// The icon of group `id` whose image best matches `size` x `size` pixels at the display's
// colour depth, created at that size; null when the group or image is missing.
static HICON LoadBannerIcon(int id, int size)
{
    HMODULE module = (HMODULE)Instance;
    HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(id), (LPCWSTR)RT_GROUP_ICON);
    if (!group)
        return nullptr;
    BYTE *directory = (BYTE *)LockResource(LoadResource(module, group));
    if (!directory)
        return nullptr;
    int imageId = LookupIconIdFromDirectoryEx(directory, TRUE, size, size, LR_DEFAULTCOLOR);
    HRSRC image = FindResourceW(module, MAKEINTRESOURCEW(imageId), (LPCWSTR)RT_ICON);
    if (!image)
        return nullptr;
    BYTE *bits = (BYTE *)LockResource(LoadResource(module, image));
    if (!bits)
        return nullptr;
    return CreateIconFromResourceEx(bits, SizeofResource(module, image), TRUE, kIconFormat, size,
                                    size, LR_DEFAULTCOLOR);
}

void CBannerWnd::TakeText(int id, RECT *rect, WCHAR *text)
{
    HWND control = GetDlgItem(parent, id);
    text[0] = 0;
    SetRectEmpty(rect);
    if (!control)
        return;
    GetClientRect(control, rect);
    MapWindowPoints(control, window, (POINT *)rect, 2);
    GetWindowTextW(control, text, kPathSize);
    DestroyWindow(control);
}

bool CBannerWnd::Create(HWND parentDialog, int placeholderId, int titleId, int subtitleId,
                        int iconIdToDraw)
{
    RegisterWindowClass(kBannerClass, WindowProc, nullptr, nullptr);
    Destroy();
    controlId = placeholderId;
    parent = parentDialog;
    iconId = iconIdToDraw;
    RECT place;
    if (!TakePlaceholder(parent, placeholderId, &place, nullptr, 0))
        return false;
    SetRect(&bannerRect, 0, 0, place.right, place.bottom);
    window = CreateControlWindow(kBannerClass, parent, controlId, &place, this);
    if (!window)
        return false;
    TakeText(titleId, &titleRect, title);
    TakeText(subtitleId, &subtitleRect, subtitle);
    return true;
}

void CBannerWnd::Destroy()
{
    if (window && IsWindow(window))
        DestroyWindow(window); /* WM_DESTROY releases the icon */
    window = nullptr;
}

// A rectangle of the banner as made, in the window as it is now (the system resizes the page's
// windows when the wizard moves to a monitor of another scale).
void CBannerWnd::ScaledRect(const RECT *made, const RECT *client, RECT *out) const
{
    int width = bannerRect.right > 0 ? bannerRect.right : 1;
    int height = bannerRect.bottom > 0 ? bannerRect.bottom : 1;
    out->left = MulDiv(made->left, client->right, width);
    out->right = MulDiv(made->right, client->right, width);
    out->top = MulDiv(made->top, client->bottom, height);
    out->bottom = MulDiv(made->bottom, client->bottom, height);
}

void CBannerWnd::Paint(HDC dc)
{
    RECT client, titleNow, subtitleNow;
    GetClientRect(window, &client);
    ScaledRect(&titleRect, &client, &titleNow);
    ScaledRect(&subtitleRect, &client, &subtitleNow);
    FillRect(dc, &client, (HBRUSH)GetStockObject(WHITE_BRUSH));
    HGDIOBJ previous = SelectObject(dc, (HFONT)TitleFont);
    DrawTextW(dc, title, -1, &titleNow, kBannerTextFlags);
    SelectObject(dc, (HFONT)TextFont);
    DrawTextW(dc, subtitle, -1, &subtitleNow, kBannerTextFlags);
    SelectObject(dc, previous);

    int size = ScalePixels(kIconSize, FontDpi ? FontDpi : WindowDpi(window));
    if (icon && iconSize != size) {
        DestroyIcon(icon);
        icon = nullptr;
    }
    if (!icon) {
        icon = LoadBannerIcon(iconId, size);
        iconSize = size;
    }
    if (icon) {
        int margin = (client.bottom - size) / 2;
        DrawIconEx(dc, client.right - margin - size, margin, icon, size, size, 0, nullptr,
                   DI_NORMAL);
    }
}

LRESULT CALLBACK CBannerWnd::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    CBannerWnd *banner = (CBannerWnd *)GetWindowLongPtrW(window, GWLP_USERDATA);
    if (banner && banner->window == window) {
        if (message == WM_PAINT) {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(window, &paint);
            banner->Paint(dc);
            EndPaint(window, &paint);
        } else if (message == WM_DESTROY && banner->icon) {
            DestroyIcon(banner->icon);
            banner->icon = nullptr;
        } else if (message == kMsgDpiChangedAfterParent || message == WM_SIZE) {
            InvalidateRect(window, nullptr, TRUE);
        }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HFONT CHyperlinkWnd::Font() const
{
    return (HFONT)(style == 0 ? BoldFont : LinkFont);
}

// Sizes the window to its text in the style's font, plus a margin for the focus rectangle.
void CHyperlinkWnd::FitToText()
{
    RECT measured = {0, 0, 0, 0};
    HDC dc = GetDC(window);
    HGDIOBJ previous = SelectObject(dc, Font());
    DrawTextW(dc, text, -1, &measured, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(dc, previous);
    ReleaseDC(window, dc);
    unsigned dpi = FontDpi ? FontDpi : WindowDpi(window);
    SetWindowPos(window, nullptr, 0, 0, measured.right + ScalePixels(4, dpi),
                 measured.bottom + ScalePixels(2, dpi),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOREDRAW);
    GetClientRect(window, &rect);
}

bool CHyperlinkWnd::Create(HWND parentDialog, int placeholderId, const char *linkTarget,
                           int linkStyle)
{
    RegisterWindowClass(kLinkClass, WindowProc, LoadCursorW(nullptr, (LPCWSTR)IDC_HAND),
                        (HBRUSH)(COLOR_BTNFACE + 1));
    Destroy();
    style = linkStyle;
    controlId = placeholderId;
    parent = parentDialog;
    if (!TakePlaceholder(parent, placeholderId, &rect, text, kPathSize))
        return false;
    if (linkTarget)
        ToWide(linkTarget, target, kPathSize);
    else
        CopyMemory(target, text, sizeof target);
    window = CreateControlWindow(kLinkClass, parent, controlId, &rect, this);
    if (!window)
        return false;
    FitToText();
    return true;
}

void CHyperlinkWnd::Destroy()
{
    if (window && IsWindow(window))
        DestroyWindow(window);
    window = nullptr;
}

LRESULT CALLBACK CHyperlinkWnd::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    CHyperlinkWnd *link = (CHyperlinkWnd *)GetWindowLongPtrW(window, GWLP_USERDATA);
    if (!link || link->window != window)
        return DefWindowProcW(window, message, wParam, lParam);
    switch (message) {
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
        InvalidateRect(window, nullptr, TRUE);
        return 0;
    case kMsgDpiChangedAfterParent:
        link->FitToText();
        InvalidateRect(window, nullptr, TRUE);
        break;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        HGDIOBJ previous = SelectObject(dc, link->Font());
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, kLinkColour);
        DrawTextW(dc, link->text, -1, &link->rect,
                  DT_CENTER | DT_SINGLELINE | DT_NOCLIP | DT_NOPREFIX);
        if (GetFocus() == window) {
            SetTextColor(dc, RGB(0, 0, 0));
            DrawFocusRect(dc, &link->rect);
        }
        SelectObject(dc, previous);
        EndPaint(window, &paint);
        break;
    }
    case WM_LBUTTONDOWN:
        SetFocus(window);
        break;
    case WM_KEYDOWN:
        if (wParam != VK_SPACE)
            break;
        [[fallthrough]]; // the space bar opens the link like a click
    case WM_LBUTTONUP:
        if (GetFocus() == window) {
            InvalidateRect(window, nullptr, TRUE);
            ShellExecuteW(nullptr, nullptr, link->target, nullptr, nullptr, SW_SHOWNORMAL);
        }
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

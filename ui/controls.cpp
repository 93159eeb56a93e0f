#include "ui/controls.h"

#include <shellapi.h>

#include "base/globals.h"
#include "base/text.h"

static const char kBannerClass[] = "CBannerWnd";
static const char kLinkClass[] = "CHyperlinkWnd";

enum {
    kIconSize = 48,
    kIconFormat = 0x30000,
    kLinkColour = 0x00FF0000, // blue
    kBannerTextFlags = DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS,
};

// Registers a class of this module. A second registration of the same class fails harmlessly.
static void RegisterWindowClass(const char *name, WNDPROC procedure, HCURSOR cursor, HBRUSH brush)
{
    WNDCLASSA windowClass;
    ZeroMemory(&windowClass, sizeof windowClass);
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = (HINSTANCE)Instance;
    windowClass.hCursor = cursor;
    windowClass.hbrBackground = brush;
    windowClass.lpszClassName = name;
    RegisterClassA(&windowClass); /* best effort: already registered is fine */
}

// Takes the placeholder's client size and its top-left corner in parent coordinates, then
// removes it. The rectangle holds left, top and right = width, bottom = height.
static bool TakePlaceholder(HWND parent, int id, RECT *place, char *text, size_t capacity)
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
        GetWindowTextA(placeholder, text, (int)capacity);
    }
    DestroyWindow(placeholder);
    return true;
}

static HWND CreateControlWindow(const char *className, HWND parent, int id, const RECT *place,
                                void *object)
{
    HWND window = CreateWindowExA(0, className, "", WS_CHILD | WS_VISIBLE | WS_TABSTOP, place->left,
                                  place->top, place->right, place->bottom, parent,
                                  (HMENU)(INT_PTR)id, (HINSTANCE)Instance, nullptr);
    if (window)
        SetWindowLongPtrA(window, GWLP_USERDATA, (LONG_PTR)object);
    return window;
}

// The icon of group `id` whose image best matches 48 x 48 at the display's colour depth,
// created at that image's own size; null when the group or image is missing.
static HICON LoadBannerIcon(int id)
{
    HMODULE module = (HMODULE)Instance;
    HRSRC group = FindResourceA(module, MAKEINTRESOURCEA(id), (LPCSTR)RT_GROUP_ICON);
    if (!group)
        return nullptr;
    BYTE *directory = (BYTE *)LockResource(LoadResource(module, group));
    if (!directory)
        return nullptr;
    int imageId =
        LookupIconIdFromDirectoryEx(directory, TRUE, kIconSize, kIconSize, LR_DEFAULTCOLOR);
    HRSRC image = FindResourceA(module, MAKEINTRESOURCEA(imageId), (LPCSTR)RT_ICON);
    if (!image)
        return nullptr;
    BYTE *bits = (BYTE *)LockResource(LoadResource(module, image));
    if (!bits)
        return nullptr;
    return CreateIconFromResourceEx(bits, SizeofResource(module, image), TRUE, kIconFormat, 0, 0,
                                    LR_DEFAULTCOLOR);
}

void CBannerWnd::TakeText(int id, RECT *rect, char *text)
{
    HWND control = GetDlgItem(parent, id);
    text[0] = 0;
    SetRectEmpty(rect);
    if (!control)
        return;
    GetClientRect(control, rect);
    MapWindowPoints(control, window, (POINT *)rect, 2);
    GetWindowTextA(control, text, kPathSize);
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

void CBannerWnd::Paint(HDC dc)
{
    FillRect(dc, &bannerRect, (HBRUSH)GetStockObject(WHITE_BRUSH));
    HGDIOBJ previous = SelectObject(dc, (HFONT)TitleFont);
    DrawTextA(dc, title, -1, &titleRect, kBannerTextFlags);
    SelectObject(dc, (HFONT)TextFont);
    DrawTextA(dc, subtitle, -1, &subtitleRect, kBannerTextFlags);
    SelectObject(dc, previous);

    if (!icon)
        icon = LoadBannerIcon(iconId);
    if (icon) {
        int margin = (bannerRect.bottom - kIconSize) / 2;
        DrawIconEx(dc, bannerRect.right - margin - kIconSize, margin, icon, kIconSize, kIconSize, 0,
                   nullptr, DI_NORMAL);
    }
}

LRESULT CALLBACK CBannerWnd::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    CBannerWnd *banner = (CBannerWnd *)GetWindowLongPtrA(window, GWLP_USERDATA);
    if (banner && banner->window == window) {
        if (message == WM_PAINT) {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(window, &paint);
            banner->Paint(dc);
            EndPaint(window, &paint);
        } else if (message == WM_DESTROY && banner->icon) {
            DestroyIcon(banner->icon);
            banner->icon = nullptr;
        }
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HFONT CHyperlinkWnd::Font() const
{
    return (HFONT)(style == 0 ? BoldFont : LinkFont);
}

bool CHyperlinkWnd::Create(HWND parentDialog, int placeholderId, const char *linkTarget,
                           int linkStyle)
{
    RegisterWindowClass(kLinkClass, WindowProc, LoadCursorA(nullptr, (LPCSTR)IDC_HAND),
                        (HBRUSH)(COLOR_BTNFACE + 1));
    Destroy();
    style = linkStyle;
    controlId = placeholderId;
    parent = parentDialog;
    if (!TakePlaceholder(parent, placeholderId, &rect, text, sizeof text))
        return false;
    CopyText(target, sizeof target, linkTarget ? linkTarget : text);
    window = CreateControlWindow(kLinkClass, parent, controlId, &rect, this);
    if (!window)
        return false;

    RECT measured = {0, 0, 0, 0};
    HDC dc = GetDC(window);
    HGDIOBJ previous = SelectObject(dc, Font());
    DrawTextA(dc, text, -1, &measured, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(dc, previous);
    ReleaseDC(window, dc);
    SetWindowPos(window, nullptr, rect.left, rect.top, measured.right + 4, measured.bottom + 2,
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOREDRAW);
    GetClientRect(window, &rect);
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
    CHyperlinkWnd *link = (CHyperlinkWnd *)GetWindowLongPtrA(window, GWLP_USERDATA);
    if (!link || link->window != window)
        return DefWindowProcA(window, message, wParam, lParam);
    switch (message) {
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
        InvalidateRect(window, nullptr, TRUE);
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        HGDIOBJ previous = SelectObject(dc, link->Font());
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, kLinkColour);
        DrawTextA(dc, link->text, -1, &link->rect,
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
            ShellExecuteU(nullptr, nullptr, link->target, nullptr, nullptr, SW_SHOWNORMAL);
        }
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

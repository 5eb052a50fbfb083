/* Hides and shows again each top-level window whose title contains the given text, so that it
   paints itself in full. Under Wine the framework's later repaints never reach the screen (they
   wait for a vertical blank that Wine does not report), but a window being shown is painted.
   Used before a screenshot of the Windows program under Wine. Exit status 1: no such window. */
#include <windows.h>
#include <wchar.h>

static int shown = 0;

static BOOL CALLBACK showAgain (HWND window, LPARAM text)
{
    wchar_t title[512];
    if (IsWindowVisible (window) && GetWindowTextW (window, title, 512) > 0
        && wcsstr (title, (const wchar_t*) text) != NULL)
    {
        ShowWindow (window, SW_HIDE);
        Sleep (300);
        ShowWindow (window, SW_SHOW);
        ++shown;
    }
    return TRUE;
}

int wmain (int argc, wchar_t** argv)
{
    if (argc != 2)
        return 2;
    EnumWindows (showAgain, (LPARAM) argv[1]);
    return shown > 0 ? 0 : 1;
}

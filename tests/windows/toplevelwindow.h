// SPDX-License-Identifier: GPL-3.0-or-later
// Windows a user sees, found through plain Windows API, for the probes that
// drive Kiverlo.exe from outside (windowprobe.cpp, uiaclient.cpp).
#ifndef KIVERLO_TOPLEVELWINDOW_H
#define KIVERLO_TOPLEVELWINDOW_H

#include <windows.h>

#include <cwchar>

// The visible top-level window of a process with the given title, or null
// while there is none.
inline HWND findTopLevelWindow(DWORD processId, const wchar_t *title)
{
    struct Search
    {
        DWORD processId;
        const wchar_t *title;
        HWND found;
    } search = {processId, title, nullptr};
    EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            auto *search = reinterpret_cast<Search *>(data);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner != search->processId || !IsWindowVisible(window))
                return TRUE;
            wchar_t text[256] = {};
            GetWindowTextW(window, text, 256);
            if (std::wcscmp(text, search->title) != 0)
                return TRUE;
            search->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// A file dialog's field for the file name: the first visible edit control
// in it (in a combo box or not); null while there is none.
inline HWND findFileNameField(HWND dialog)
{
    HWND field = nullptr;
    EnumChildWindows(
        dialog,
        [](HWND child, LPARAM data) -> BOOL {
            wchar_t kind[32] = {};
            GetClassNameW(child, kind, 32);
            if (_wcsicmp(kind, L"Edit") != 0 || !IsWindowVisible(child))
                return TRUE;
            *reinterpret_cast<HWND *>(data) = child;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&field));
    return field;
}

#endif

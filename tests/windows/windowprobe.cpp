// SPDX-License-Identifier: GPL-3.0-or-later
// Starts a program the way a double click does (the working folder is the
// program's own), waits for its visible top-level window with the given
// title, closes that window as a user does and checks that the program then
// ends by itself with exit code 0.
//
// windowprobe <program.exe> <title> [<x> <y> <dialog title> <file> <done file>]
//
// With the five more arguments it first uses the window as a user does for
// one upload: a click at <x>,<y> of its client area (the Upload button),
// the file typed into the file dialog titled <dialog title> and the dialog's
// Open button pressed; then it waits until <done file> exists (the
// programmer started by the window writes it) before closing the window.
//
// Plain Windows API, no Qt, and linked statically: it must not lend the
// program it checks any library of its own.
#include "toplevelwindow.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

// Waits up to <ms> for the visible top-level window titled <title> of the
// process; null when it does not come or the process ends.
HWND waitForWindow(const PROCESS_INFORMATION &process, const wchar_t *title, int ms)
{
    HWND found = nullptr;
    for (int waited = 0; waited < ms && !found; waited += 100) {
        if (WaitForSingleObject(process.hProcess, 100) == WAIT_OBJECT_0)
            break;
        found = findTopLevelWindow(process.dwProcessId, title);
    }
    return found;
}

bool upload(const PROCESS_INFORMATION &process, HWND window, wchar_t **how)
{
    const LPARAM at = MAKELPARAM(_wtoi(how[0]), _wtoi(how[1]));
    PostMessageW(window, WM_MOUSEMOVE, 0, at);
    PostMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageW(window, WM_LBUTTONUP, 0, at);
    const HWND dialog = waitForWindow(process, how[2], 30000);
    if (!dialog) {
        std::fwprintf(stderr, L"FAIL: no dialog \"%ls\" after the click at %ls,%ls\n", how[2], how[0], how[1]);
        return false;
    }
    HWND edit = nullptr;
    for (int waited = 0; waited < 10000 && !edit; waited += 100) {
        edit = findFileNameField(dialog);
        if (!edit)
            Sleep(100);
    }
    if (!edit) {
        std::fwprintf(stderr, L"FAIL: the dialog \"%ls\" has no field for the file name\n", how[2]);
        return false;
    }
    SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(how[3]));
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    std::wprintf(L"chose %ls in \"%ls\"\n", how[3], how[2]);
    for (int waited = 0; waited < 60000; waited += 100) {
        if (GetFileAttributesW(how[4]) != INVALID_FILE_ATTRIBUTES) {
            std::wprintf(L"the programmer ran\n");
            return true;
        }
        if (WaitForSingleObject(process.hProcess, 100) == WAIT_OBJECT_0)
            break;
    }
    std::fwprintf(stderr, L"FAIL: no %ls: the window did not start the programmer\n", how[4]);
    return false;
}

void end(HANDLE process)
{
    TerminateProcess(process, 1);
    WaitForSingleObject(process, 10000);
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 3 && argc != 8) {
        std::fwprintf(
            stderr, L"usage: windowprobe <program.exe> <title> [<x> <y> <dialog title> <file> <done file>]\n");
        return 2;
    }
    const std::wstring program = argv[1];
    const wchar_t *title = argv[2];
    const std::wstring folder = program.substr(0, program.find_last_of(L"\\/"));

    std::wstring commandLine = L"\"" + program + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
            &process)) {
        std::fwprintf(stderr, L"FAIL: cannot start %ls (error %lu)\n", program.c_str(), GetLastError());
        return 1;
    }
    CloseHandle(process.hThread);

    // The first start in a fresh prefix is slow; give it a minute.
    const HWND window = waitForWindow(process, title, 60000);
    if (!window) {
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        std::fwprintf(stderr, L"FAIL: %ls showed no window titled \"%ls\" (%ls, exit code %lu)\n", program.c_str(),
            title, code == STILL_ACTIVE ? L"still running" : L"ended", code);
        end(process.hProcess);
        CloseHandle(process.hProcess);
        return 1;
    }
    std::wprintf(L"window \"%ls\" is up\n", title);

    // It stays up by itself; closed as a user closes it, it ends with 0.
    int failures = 0;
    if (argc == 8 && !upload(process, window, argv + 3))
        ++failures;
    if (WaitForSingleObject(process.hProcess, 2000) == WAIT_OBJECT_0) {
        std::fwprintf(stderr, L"FAIL: ended by itself with its window open\n");
        ++failures;
    }
    PostMessageW(window, WM_CLOSE, 0, 0);
    DWORD code = 1;
    if (WaitForSingleObject(process.hProcess, 30000) != WAIT_OBJECT_0) {
        std::fwprintf(stderr, L"FAIL: still running 30 s after its window was closed\n");
        end(process.hProcess);
        ++failures;
    } else if (!GetExitCodeProcess(process.hProcess, &code) || code != 0) {
        std::fwprintf(stderr, L"FAIL: exit code %lu after closing\n", code);
        ++failures;
    } else {
        std::wprintf(L"closed, exit code 0\n");
    }
    CloseHandle(process.hProcess);
    return failures == 0 ? 0 : 1;
}

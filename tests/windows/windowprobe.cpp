// SPDX-License-Identifier: GPL-3.0-or-later
// Starts a program the way a double click does (the working folder is the
// program's own), waits for its visible top-level window with the given
// title, closes that window as a user does and checks that the program then
// ends by itself with exit code 0.
//
// windowprobe <program.exe> <title>
//
// Plain Windows API, no Qt, and linked statically: it must not lend the
// program it checks any library of its own.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

struct Search
{
    DWORD processId;
    const wchar_t *title;
    HWND found;
};

BOOL CALLBACK visit(HWND window, LPARAM data)
{
    auto *search = reinterpret_cast<Search *>(data);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId || !IsWindowVisible(window) || GetParent(window))
        return TRUE;
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    if (std::wcscmp(text, search->title) != 0)
        return TRUE;
    search->found = window;
    return FALSE;
}

void end(HANDLE process)
{
    TerminateProcess(process, 1);
    WaitForSingleObject(process, 10000);
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 3) {
        std::fwprintf(stderr, L"usage: windowprobe <program.exe> <title>\n");
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

    Search search = {process.dwProcessId, title, nullptr};
    // The first start in a fresh prefix is slow; give it a minute.
    for (int waited = 0; waited < 60000 && !search.found; waited += 100) {
        if (WaitForSingleObject(process.hProcess, 100) == WAIT_OBJECT_0)
            break;
        EnumWindows(visit, reinterpret_cast<LPARAM>(&search));
    }
    if (!search.found) {
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
    if (WaitForSingleObject(process.hProcess, 2000) == WAIT_OBJECT_0) {
        std::fwprintf(stderr, L"FAIL: ended by itself with its window open\n");
        ++failures;
    }
    PostMessageW(search.found, WM_CLOSE, 0, 0);
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

// SPDX-License-Identifier: GPL-3.0-or-later
// Runs a program with this process's standard handles, waits for it, writes
// its exit code to a record file and ends with that code.
//
// exitrecord <record file> <program> [argument...]
//
// Under Wine the Linux process behind a Windows program lives on for a moment
// after the program has ended, and when that moment runs past the Wine
// server's grace (about a second; a loaded machine gets there) the server
// kills it: the shell then sees SIGKILL in place of the exit code the program
// returned. The record keeps that code. wine_exec (wine-prefix.sh) reads it
// when the shell saw the kill, and only then.
//
// Codes above 255 (an unhandled exception, say) end this program with 255,
// the record says 255 too, and the code itself goes to the error output.
//
// Plain Windows API, linked statically: it lends the program it runs no
// library of its own.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// One argument, quoted so that the C runtime's parser gives it back as it is.
std::wstring quoted(const std::wstring &argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring out = L"\"";
    unsigned backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped.
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        out.push_back(c);
        backslashes = 0;
    }
    // Before the closing quote, too.
    out.append(backslashes * 2, L'\\');
    out.push_back(L'"');
    return out;
}

bool writeRecord(const wchar_t *path, int code)
{
    const HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%d\n", code);
    DWORD written = 0;
    const bool ok = WriteFile(file, text, DWORD(length), &written, nullptr) && written == DWORD(length);
    return CloseHandle(file) && ok;
}

} // namespace

int wmain(int argc, wchar_t *argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: exitrecord <record file> <program> [argument...]\n");
        return 125;
    }
    std::wstring commandLine = quoted(argv[2]);
    for (int i = 3; i < argc; ++i)
        commandLine += L' ' + quoted(argv[i]);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        std::fprintf(stderr, "exitrecord: cannot start %ls (error %lu)\n", argv[2], GetLastError());
        return 126;
    }
    CloseHandle(process.hThread);
    DWORD exitCode = 0;
    if (WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0
        || !GetExitCodeProcess(process.hProcess, &exitCode)) {
        std::fprintf(stderr, "exitrecord: lost track of %ls (error %lu)\n", argv[2], GetLastError());
        return 126;
    }
    CloseHandle(process.hProcess);

    int code = int(exitCode);
    if (exitCode > 255) {
        std::fprintf(stderr, "exitrecord: %ls ended with code 0x%08lX\n", argv[2], exitCode);
        code = 255;
    }
    if (!writeRecord(argv[1], code)) {
        std::fprintf(stderr, "exitrecord: cannot write %ls (error %lu)\n", argv[1], GetLastError());
        return 126;
    }
    return code;
}

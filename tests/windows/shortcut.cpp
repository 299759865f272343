// SPDX-License-Identifier: GPL-3.0-or-later
// Reads a shortcut (.lnk) through the shell's own interface, as the Start
// menu does when the user picks it, and prints what it starts:
//   target <program>
//   folder <working folder>
//   arguments <arguments>
// Given a program and a folder, it writes such a shortcut instead, as an
// installer does (to lay out what an earlier installer left).
//
// shortcut <file.lnk>
// shortcut <file.lnk> <program> <working folder>
#include <windows.h>

#include <objbase.h>
#include <objidl.h>
#include <shlguid.h>
#include <shobjidl.h>

#include <cwchar>

namespace {

bool readShortcut(IShellLinkW *link, IPersistFile *file, const wchar_t *path)
{
    wchar_t target[MAX_PATH] = {}, folder[MAX_PATH] = {}, arguments[1024] = {};
    if (FAILED(file->Load(path, STGM_READ)) || FAILED(link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH))
        || FAILED(link->GetWorkingDirectory(folder, MAX_PATH)) || FAILED(link->GetArguments(arguments, 1024))) {
        std::fwprintf(stderr, L"FAIL: cannot read the shortcut %ls\n", path);
        return false;
    }
    std::wprintf(L"target %ls\nfolder %ls\narguments %ls\n", target, folder, arguments);
    return true;
}

bool writeShortcut(
    IShellLinkW *link, IPersistFile *file, const wchar_t *path, const wchar_t *target, const wchar_t *folder)
{
    if (FAILED(link->SetPath(target)) || FAILED(link->SetWorkingDirectory(folder)) || FAILED(file->Save(path, TRUE))) {
        std::fwprintf(stderr, L"FAIL: cannot write the shortcut %ls\n", path);
        return false;
    }
    return true;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 2 && argc != 4) {
        std::fwprintf(stderr, L"usage: shortcut <file.lnk> [<program> <working folder>]\n");
        return 2;
    }
    if (FAILED(CoInitialize(nullptr)))
        return 1;
    IShellLinkW *link = nullptr;
    IPersistFile *file = nullptr;
    bool done = false;
    if (SUCCEEDED(CoCreateInstance(
            CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, reinterpret_cast<void **>(&link)))
        && SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file)))) {
        done = argc == 2 ? readShortcut(link, file, argv[1]) : writeShortcut(link, file, argv[1], argv[2], argv[3]);
    } else {
        std::fwprintf(stderr, L"FAIL: no shell link object\n");
    }
    if (file)
        file->Release();
    if (link)
        link->Release();
    CoUninitialize();
    return done ? 0 : 1;
}

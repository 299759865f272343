// SPDX-License-Identifier: GPL-3.0-or-later
// Reads a shortcut (.lnk) through the shell's own interface, as the Start
// menu does when the user picks it, and prints what it starts:
//   target <program>
//   folder <working folder>
//   arguments <arguments>
//
// shortcut <file.lnk>
#include <windows.h>

#include <objbase.h>
#include <objidl.h>
#include <shlguid.h>
#include <shobjidl.h>

#include <cwchar>

int wmain(int argc, wchar_t **argv)
{
    if (argc != 2) {
        std::fwprintf(stderr, L"usage: shortcut <file.lnk>\n");
        return 2;
    }
    if (FAILED(CoInitialize(nullptr)))
        return 1;
    IShellLinkW *link = nullptr;
    IPersistFile *file = nullptr;
    int result = 1;
    wchar_t target[MAX_PATH] = {}, folder[MAX_PATH] = {}, arguments[1024] = {};
    if (SUCCEEDED(CoCreateInstance(
            CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, reinterpret_cast<void **>(&link)))
        && SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file)))
        && SUCCEEDED(file->Load(argv[1], STGM_READ))
        && SUCCEEDED(link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH))
        && SUCCEEDED(link->GetWorkingDirectory(folder, MAX_PATH)) && SUCCEEDED(link->GetArguments(arguments, 1024))) {
        std::wprintf(L"target %ls\nfolder %ls\narguments %ls\n", target, folder, arguments);
        result = 0;
    } else {
        std::fwprintf(stderr, L"FAIL: cannot read the shortcut %ls\n", argv[1]);
    }
    if (file)
        file->Release();
    if (link)
        link->Release();
    CoUninitialize();
    return result;
}

// SPDX-License-Identifier: GPL-3.0-or-later
// Reads an executable's version record through Windows' own version API,
// as Explorer's properties dialog does, and checks it against what Kiverlo
// carries: versions 0.0.0.0 (numbers and texts), the product name, the
// original file name, and every other text field empty.
//
// versioninfo <program.exe> <product name> <original file name>
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

int failures = 0;

void check(bool ok, const wchar_t *what, const std::wstring &got)
{
    std::wprintf(L"%ls: \"%ls\"%ls\n", what, got.c_str(), ok ? L"" : L"  <-- FAIL");
    if (!ok)
        ++failures;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 4) {
        std::fwprintf(stderr, L"usage: versioninfo <program.exe> <product name> <original file name>\n");
        return 2;
    }
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(argv[1], &ignored);
    if (size == 0) {
        std::fwprintf(stderr, L"FAIL: %ls has no version record (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    std::vector<char> data(size);
    if (!GetFileVersionInfoW(argv[1], 0, size, data.data())) {
        std::fwprintf(stderr, L"FAIL: cannot read the version record of %ls\n", argv[1]);
        return 1;
    }

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void **>(&fixed), &length) || !fixed) {
        std::fwprintf(stderr, L"FAIL: no fixed version block\n");
        return 1;
    }
    check(fixed->dwSignature == 0xFEEF04BD, L"signature", std::to_wstring(fixed->dwSignature));
    const std::wstring numbers = std::to_wstring(fixed->dwFileVersionMS) + L","
        + std::to_wstring(fixed->dwFileVersionLS) + L"," + std::to_wstring(fixed->dwProductVersionMS) + L","
        + std::to_wstring(fixed->dwProductVersionLS);
    check(fixed->dwFileVersionMS == 0 && fixed->dwFileVersionLS == 0 && fixed->dwProductVersionMS == 0
            && fixed->dwProductVersionLS == 0,
        L"file and product version numbers", numbers);

    // The first language and code page the record lists.
    struct Translation
    {
        WORD language;
        WORD codePage;
    } *translation = nullptr;
    if (!VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void **>(&translation), &length)
        || length < sizeof(Translation)) {
        std::fwprintf(stderr, L"FAIL: no translation in the version record\n");
        return 1;
    }
    wchar_t block[64];
    std::swprintf(block, 64, L"\\StringFileInfo\\%04x%04x\\", translation->language, translation->codePage);

    struct Field
    {
        const wchar_t *name;
        std::wstring expected;
    };
    const Field fields[] = {{L"FileVersion", L"0.0.0.0"}, {L"ProductVersion", L"0.0.0.0"}, {L"ProductName", argv[2]},
        {L"OriginalFilename", argv[3]}, {L"CompanyName", L""}, {L"FileDescription", L""}, {L"Comments", L""},
        {L"InternalName", L""}, {L"LegalCopyright", L""}, {L"LegalTrademarks", L""}};
    for (const Field &field : fields) {
        wchar_t *value = nullptr;
        length = 0;
        const std::wstring path = std::wstring(block) + field.name;
        std::wstring text;
        const bool present = VerQueryValueW(data.data(), path.c_str(), reinterpret_cast<void **>(&value), &length);
        if (present && value)
            text.assign(value, wcsnlen(value, length));
        // An empty field may be left out of the record altogether.
        check(present ? text == field.expected : field.expected.empty(), field.name, text);
    }
    return failures == 0 ? 0 : 1;
}

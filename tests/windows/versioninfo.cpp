// SPDX-License-Identifier: GPL-3.0-or-later
// Reads version records through Windows' own version API, as Explorer's
// properties dialog does.
//
// versioninfo <program.exe> <product name> <original file name>
//   checks Kiverlo's own record: an application, versions 0.0.0.0 (numbers
//   and texts), one translation (U.S. English, Unicode) with one string
//   table of exactly the ten usual fields, all present: the product name,
//   the original file name, the versions, and every other one empty.
//
// versioninfo --versions <folder> <file>=<version>...
//   checks that each file in the folder is of that version (such as 5.15.19,
//   or 7.1) in all three places a user or an installer reads it: the numeric
//   file and product versions, and the FileVersion and ProductVersion texts
//   of its first translation (read as a.b, a.b.c, a.b.c.0, or with commas).
#include <windows.h>

#include <algorithm>
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

// The keys of the children of the node at <path> below <node>, in a version
// record as it is stored: { wLength, wValueLength, wType, key, padding,
// value, children }, each aligned on 4 bytes.
std::vector<std::wstring> childKeys(const char *node, std::vector<std::wstring> path = {})
{
    const auto word = [](const char *at) {
        return *reinterpret_cast<const WORD *>(at);
    };
    const auto align = [](std::size_t offset) {
        return (offset + 3) & ~std::size_t(3);
    };
    const std::size_t end = word(node);
    std::size_t at = align(6 + (std::wcslen(reinterpret_cast<const wchar_t *>(node + 6)) + 1) * 2);
    at = align(at + (word(node + 4) == 1 ? 2u * word(node + 2) : word(node + 2)));
    std::vector<std::wstring> keys;
    for (; at + 6 < end && word(node + at) != 0; at = align(at + word(node + at))) {
        const std::wstring key = reinterpret_cast<const wchar_t *>(node + at + 6);
        if (path.empty())
            keys.push_back(key);
        else if (key == path.front())
            return childKeys(node + at, std::vector<std::wstring>(path.begin() + 1, path.end()));
    }
    return keys;
}

// The keys in order, comma-separated.
std::wstring joined(std::vector<std::wstring> keys)
{
    std::sort(keys.begin(), keys.end());
    std::wstring text;
    for (const std::wstring &key : keys)
        text += (text.empty() ? L"" : L",") + key;
    return text;
}

// The whole version record of a file, empty when it has none.
std::vector<char> versionRecord(const wchar_t *file)
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(file, &ignored);
    if (size == 0) {
        std::fwprintf(stderr, L"FAIL: %ls has no version record (error %lu)\n", file, GetLastError());
        return {};
    }
    std::vector<char> data(size);
    if (!GetFileVersionInfoW(file, 0, size, data.data())) {
        std::fwprintf(stderr, L"FAIL: cannot read the version record of %ls\n", file);
        return {};
    }
    return data;
}

// A version text as "a.b.c.d": commas and blanks as Windows' own records
// write them become dots, and missing third and fourth numbers are 0.
std::wstring fourNumbers(std::wstring text)
{
    std::wstring out;
    for (wchar_t c : text) {
        if (c == L',')
            out += L'.';
        else if (c != L' ')
            out += c;
    }
    for (auto dots = std::count(out.begin(), out.end(), L'.'); !out.empty() && dots < 3; ++dots)
        out += L".0";
    return out;
}

std::wstring numbers(DWORD high, DWORD low)
{
    return std::to_wstring(HIWORD(high)) + L"." + std::to_wstring(LOWORD(high)) + L"." + std::to_wstring(HIWORD(low))
        + L"." + std::to_wstring(LOWORD(low));
}

// The text of a field of the record's first translation, or "(absent)".
std::wstring firstTranslationText(const std::vector<char> &data, const wchar_t *field)
{
    struct Translation
    {
        WORD language;
        WORD codePage;
    } *translation = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void **>(&translation), &length)
        || length < sizeof(Translation))
        return L"(absent)";
    wchar_t path[128];
    std::swprintf(path, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translation->language, translation->codePage, field);
    wchar_t *value = nullptr;
    if (!VerQueryValueW(data.data(), path, reinterpret_cast<void **>(&value), &length) || !value)
        return L"(absent)";
    return std::wstring(value, wcsnlen(value, length));
}

// versioninfo --versions: every file of the list in its expected version.
int checkVersions(const std::wstring &folder, int count, wchar_t **pairs)
{
    for (int i = 0; i < count; ++i) {
        const std::wstring pair = pairs[i];
        const std::size_t equals = pair.find(L'=');
        if (equals == std::wstring::npos) {
            std::fwprintf(stderr, L"FAIL: \"%ls\" is not <file>=<version>\n", pairs[i]);
            ++failures;
            continue;
        }
        const std::wstring file = folder + L"\\" + pair.substr(0, equals);
        const std::wstring expected = fourNumbers(pair.substr(equals + 1));
        const std::vector<char> data = versionRecord(file.c_str());
        if (data.empty()) {
            ++failures;
            continue;
        }
        VS_FIXEDFILEINFO *fixed = nullptr;
        UINT length = 0;
        std::wstring fileNumbers = L"(absent)";
        std::wstring productNumbers = L"(absent)";
        if (VerQueryValueW(data.data(), L"\\", reinterpret_cast<void **>(&fixed), &length) && fixed) {
            fileNumbers = numbers(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
            productNumbers = numbers(fixed->dwProductVersionMS, fixed->dwProductVersionLS);
        }
        const std::wstring fileText = firstTranslationText(data, L"FileVersion");
        const std::wstring productText = firstTranslationText(data, L"ProductVersion");
        const bool ok = fileNumbers == expected && productNumbers == expected && fourNumbers(fileText) == expected
            && fourNumbers(productText) == expected;
        const std::wstring got = fileNumbers + L", " + productNumbers + L", \"" + fileText + L"\", \"" + productText
            + L"\" (expected " + expected + L")";
        check(ok, pair.substr(0, equals).c_str(), got);
    }
    return failures == 0 ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc >= 3 && std::wstring(argv[1]) == L"--versions")
        return checkVersions(argv[2], argc - 3, argv + 3);
    if (argc != 4) {
        std::fwprintf(stderr,
            L"usage: versioninfo <program.exe> <product name> <original file name>\n"
            L"       versioninfo --versions <folder> <file>=<version>...\n");
        return 2;
    }
    std::vector<char> data = versionRecord(argv[1]);
    if (data.empty())
        return 1;

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
    check(fixed->dwFileType == 1, L"file type (1: an application)", std::to_wstring(fixed->dwFileType));

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
    check(length == sizeof(Translation) && translation->language == 0x0409 && translation->codePage == 1200,
        L"translations (one: 0x0409, 1200)",
        std::to_wstring(length / sizeof(Translation)) + L": " + std::to_wstring(translation->language) + L", "
            + std::to_wstring(translation->codePage));
    // What the API cannot list: the blocks, the string tables and the fields.
    const char *root = data.data();
    const std::wstring rootKey = reinterpret_cast<const wchar_t *>(root + 6);
    check(rootKey == L"VS_VERSION_INFO", L"record", rootKey);
    check(joined(childKeys(root)) == L"StringFileInfo,VarFileInfo", L"blocks", joined(childKeys(root)));
    const std::wstring tables = joined(childKeys(root, {L"StringFileInfo"}));
    check(tables == L"040904b0", L"string tables", tables);
    const std::wstring names = joined(childKeys(root, {L"StringFileInfo", L"040904b0"}));
    check(names
            == L"Comments,CompanyName,FileDescription,FileVersion,InternalName,LegalCopyright,LegalTrademarks,"
               L"OriginalFilename,ProductName,ProductVersion",
        L"fields", names);
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
        check(present && value && text == field.expected, field.name, present && value ? text : L"(absent)");
    }
    return failures == 0 ? 0 : 1;
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "programmerpath.h"

#ifdef Q_OS_WIN
#include <QDir>

#include <string>

#include <windows.h>

namespace {

// Whether `text` converts to the ANSI code page without a character lost
// or replaced by a look-alike.
bool representableInAnsiCodePage(const std::wstring &text)
{
    if (GetACP() == CP_UTF8)
        return true;
    BOOL usedDefault = FALSE;
    const int size = WideCharToMultiByte(
        CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), int(text.size()), nullptr, 0, nullptr, &usedDefault);
    return size > 0 && !usedDefault;
}

} // namespace

QString programmerPath(const QString &path)
{
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    if (native.empty() || representableInAnsiCodePage(native))
        return path;
    const DWORD size = GetShortPathNameW(native.c_str(), nullptr, 0);
    if (size == 0)
        return path;
    std::wstring shortPath(size, L'\0');
    const DWORD length = GetShortPathNameW(native.c_str(), &shortPath[0], size);
    if (length == 0 || length >= size)
        return path;
    shortPath.resize(length);
    if (!representableInAnsiCodePage(shortPath))
        return path;
    return QDir::fromNativeSeparators(QString::fromStdWString(shortPath));
}

#else

QString programmerPath(const QString &path)
{
    // Arguments reach the programmer as the bytes of the file name.
    return path;
}

#endif

// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef KIVERLO_PROGRAMMERPATH_H
#define KIVERLO_PROGRAMMERPATH_H

#include <QString>

// The name under which the programmer can open the file at `path`.
//
// On Windows a C program such as the programmer gets its arguments in the
// system's ANSI code page, so a path with a character that code page lacks
// (a Cyrillic folder on a Western system, say) reaches it garbled. For such
// a path this is the file's short 8.3 path, which is plain ASCII, with
// forward slashes as Qt reports paths. Should the file have no short name
// (the volume does not make them, or the file does not exist), the path
// stays as it is and the programmer reports that it cannot open it.
//
// Elsewhere, and for a path the code page can represent, `path` unchanged.
QString programmerPath(const QString &path);

#endif

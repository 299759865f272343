// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef KIVERLO_UPLOADCOMMAND_H
#define KIVERLO_UPLOADCOMMAND_H

#include <QString>
#include <QStringList>

// The command that writes `path` into the board's flash through the serial
// bootloader on `port`, with the programmer and its configuration taken from
// `appDir`. This is the exact text the console echoes; quotes inside the
// values are not escaped, so it is for showing, not for starting.
QString buildUploadCommand(const QString &appDir, const QString &port, const QString &path);

// The same command as a program and its arguments, for starting. The pieces
// are those of buildUploadCommand, split where its text splits, but each
// value stays whole: the path always arrives inside the single flash argument
// and the folder inside the program and configuration arguments, whatever
// quotes or blanks they hold. A blank port gives no argument, as in the text.
// The configuration and the file are named as programmerPath() gives them:
// on Windows a path the programmer could not open in its long form comes as
// the file's short name, while the text shows the path as the user chose it.
struct UploadInvocation
{
    QString program;
    QStringList arguments;
    // Every value the arguments hand over that is not one of the fixed
    // option words: the program, the configuration, the port and the file,
    // each exactly as handed (trimmed, or a short name, where that differs
    // from what was given). The programmer may print any of them back.
    QStringList handedValues;
};
UploadInvocation buildUploadInvocation(const QString &appDir, const QString &port, const QString &path);

#endif

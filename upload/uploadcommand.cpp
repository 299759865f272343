// SPDX-License-Identifier: GPL-3.0-or-later
#include "uploadcommand.h"

#include "programmerpath.h"

namespace {
// The programmer sits beside our executable. The program path keeps the
// doubled slash it has always had; both forms name the same file.
const QLatin1String kProgramName("//avrdude");
const QLatin1String kConfigName("/avrdude.conf");
// The serial bootloader (STK500 version 1 protocol) on an ATmega328P.
const QLatin1String kProgrammerType("arduino");
const QLatin1String kPartName("m328p");
const QLatin1String kFlashWritePrefix("flash:w:");
// ":i": the file is Intel HEX.
const QLatin1String kFlashWriteSuffix(":i");
} // namespace

QString buildUploadCommand(const QString &appDir, const QString &port, const QString &path)
{
    const QChar quote(QLatin1Char('"'));
    return quote + appDir + kProgramName + quote + QLatin1String(" -c ") + kProgrammerType + QLatin1String(" -p ")
        + kPartName + QLatin1String(" -C ") + quote + appDir + kConfigName + quote + QLatin1String(" -P ") + port
        + QLatin1String(" -U ") + kFlashWritePrefix + quote + path + quote + kFlashWriteSuffix;
}

UploadInvocation buildUploadInvocation(const QString &appDir, const QString &port, const QString &path)
{
    UploadInvocation run;
    run.program = appDir + kProgramName;
    // The programmer itself is started by its Unicode name; the files it
    // opens are named so that it can open them (see programmerPath()).
    const QString config = programmerPath(appDir + kConfigName);
    const QString file = programmerPath(path);
    run.arguments << QStringLiteral("-c") << kProgrammerType << QStringLiteral("-p") << kPartName
                  << QStringLiteral("-C") << config << QStringLiteral("-P");
    // In the text the port stands unquoted, so blanks around it vanish and an
    // empty one leaves "-P" directly before "-U". Blanks inside it must not
    // split it into further options, so the rest stays one argument.
    const QString trimmedPort = port.trimmed();
    if (!trimmedPort.isEmpty())
        run.arguments << trimmedPort;
    run.arguments << QStringLiteral("-U") << kFlashWritePrefix + file + kFlashWriteSuffix;
    run.handedValues << run.program << config << file;
    if (!trimmedPort.isEmpty())
        run.handedValues << trimmedPort;
    return run;
}

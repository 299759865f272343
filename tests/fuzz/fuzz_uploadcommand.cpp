// SPDX-License-Identifier: GPL-3.0-or-later
// The programmer's command for any folder, port and file name: each value
// stays whole in its own place, nothing else gets into the arguments, and
// wherever the echoed text can be split back into arguments it gives the
// same ones.
//
// The input is the folder, the port and the file name as UTF-8, separated by
// 0xFF bytes (a byte that never occurs in UTF-8); missing parts are empty.
#include "fuzzcheck.h"
#include "uploadcommand.h"

#include <QProcess>
#include <QStringList>

#include <cstddef>
#include <cstdint>

namespace {

QString nextPart(const uint8_t *&data, const uint8_t *end)
{
    const uint8_t *start = data;
    while (data != end && *data != 0xFF)
        ++data;
    QString part = QString::fromUtf8(reinterpret_cast<const char *>(start), static_cast<int>(data - start));
    if (data != end)
        ++data;
    return part;
}

bool holdsSpace(const QString &text)
{
    for (const QChar c : text) {
        if (c.isSpace())
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint8_t *end = data + size;
    const QString appDir = nextPart(data, end);
    const QString port = nextPart(data, end);
    const QString path = nextPart(data, end);

    const UploadInvocation run = buildUploadInvocation(appDir, port, path);
    const QStringList &args = run.arguments;

    // The folder stays whole in the program and in the configuration.
    FUZZ_CHECK(run.program == appDir + QStringLiteral("//avrdude"));

    // A port that is blank gives no argument, any other exactly one.
    const QString trimmedPort = port.trimmed();
    const bool hasPort = !trimmedPort.isEmpty();
    FUZZ_CHECK(args.size() == (hasPort ? 10 : 9));

    // The fixed arguments stand in their places, the values in theirs.
    FUZZ_CHECK(args.at(0) == QStringLiteral("-c"));
    FUZZ_CHECK(args.at(1) == QStringLiteral("arduino"));
    FUZZ_CHECK(args.at(2) == QStringLiteral("-p"));
    FUZZ_CHECK(args.at(3) == QStringLiteral("m328p"));
    FUZZ_CHECK(args.at(4) == QStringLiteral("-C"));
    FUZZ_CHECK(args.at(5) == appDir + QStringLiteral("/avrdude.conf"));
    FUZZ_CHECK(args.at(6) == QStringLiteral("-P"));
    if (hasPort)
        FUZZ_CHECK(args.at(7) == trimmedPort);
    FUZZ_CHECK(args.at(args.size() - 2) == QStringLiteral("-U"));

    // The file name arrives whole in exactly one argument, the last; only
    // the port, a value of the user's, could happen to read the same.
    const QString flash = QStringLiteral("flash:w:") + path + QStringLiteral(":i");
    FUZZ_CHECK(args.last() == flash);
    int flashArguments = 0;
    for (int i = 0; i < args.size(); ++i) {
        if (args.at(i) == flash && !(hasPort && i == 7))
            ++flashArguments;
    }
    FUZZ_CHECK(flashArguments == 1);

    // The echoed text quotes the folder and the file name but escapes
    // nothing, and the port stands bare: without quotes in any value and
    // blanks in the port it splits into exactly the arguments that run.
    const QChar quote(QLatin1Char('"'));
    if (!appDir.contains(quote) && !port.contains(quote) && !path.contains(quote) && !holdsSpace(port)) {
        const QStringList split = QProcess::splitCommand(buildUploadCommand(appDir, port, path));
        FUZZ_CHECK(split == QStringList(run.program) + args);
    }
    return 0;
}

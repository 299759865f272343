// SPDX-License-Identifier: GPL-3.0-or-later
// The pieces of an upload that need no window: the command, its arguments,
// the decoding of the programmer's output, the verdict and the watch on its
// progress.
#include "outputdecoder.h"
#include "programmerpath.h"
#include "progresswatch.h"
#include "uploadcommand.h"
#include "verdict.h"

#include <QProcess>
#include <QtTest>

#include <cstdio>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {
// The encoding of the decoder tests that do not name another; on Windows the
// programmer's own is the ANSI code page.
const QByteArray utf8("UTF-8");

// A whole stream: its text, then what its end adds, in that order.
QString decodeStream(OutputDecoder &decoder, const QByteArray &bytes)
{
    QString text = decoder.decode(bytes);
    text += decoder.finish();
    return text;
}

// `bytes` decoded as one chunk, cut at every place into two, and fed one
// byte at a time: the three texts, which must all be the same.
QStringList decodedEveryWay(const QByteArray &encoding, const QByteArray &bytes)
{
    QStringList texts;
    OutputDecoder whole(encoding);
    texts << decodeStream(whole, bytes);
    for (int cut = 0; cut <= bytes.size(); ++cut) {
        OutputDecoder decoder(encoding);
        QString joined = decoder.decode(bytes.left(cut));
        joined += decoder.decode(bytes.mid(cut));
        texts << joined + decoder.finish();
    }
    OutputDecoder decoder(encoding);
    QString byteByByte;
    for (char byte : bytes)
        byteByByte += decoder.decode(QByteArray(1, byte));
    texts << byteByByte + decoder.finish();
    return texts;
}

// What a programmer wrote during a run: each write, with its time.
struct Write
{
    qint64 atUs;
    QByteArray bytes;
};
using Writes = QVector<Write>;

// A recording made by fixtures/record-avrdude.sh: the bytes, and the time
// and length of each write.
Writes readRecording(const QString &name)
{
    const QString prefix = QStringLiteral(KIVERLO_FIXTURES "/") + name;
    QFile bytesFile(prefix + QStringLiteral(".out"));
    QFile indexFile(prefix + QStringLiteral(".writes"));
    if (!bytesFile.open(QIODevice::ReadOnly) || !indexFile.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = bytesFile.readAll();
    Writes writes;
    int at = 0;
    for (const QByteArray &line : indexFile.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 2)
            continue;
        const int length = fields[1].toInt();
        writes.append({fields[0].toLongLong(), bytes.mid(at, length)});
        at += length;
    }
    return at == bytes.size() ? writes : Writes();
}

// What avrdude 8.x (8.2, src/update.c, src/term.c and src/main.c) prints for
// the same upload, written as it writes it: its messages now start with a
// capital instead of "avrdude: ", the bar's header follows a message that
// ends without a line end (avrdude then adds one), and a bar ends with a
// single line end. The times are those of the 7.1 recording.
Writes avrdude8Shape()
{
    Writes writes;
    const auto write = [&writes](double seconds, const QByteArray &bytes) {
        writes.append({qint64(seconds * 1e6), bytes});
    };
    const auto bar = [&write](const QByteArray &header, double from, double seconds) {
        write(from, header + " | ");
        for (int mark = 1; mark <= 50; ++mark)
            write(from + seconds * mark / 50, "#");
        write(from + seconds, " | 100% " + QByteArray::number(seconds, 'f', 2) + 's');
        write(from + seconds, "\n");
    };
    write(0.00, "\n");
    write(0.80, "Processing -U flash:w:/home/user/firmware/image.hex:i\n");
    write(0.81, "Reading 31744 bytes for flash from input file /home/user/firmware/image.hex\n");
    write(1.10, "Writing 31744 bytes to flash");
    write(1.10, "\n");
    bar("Writing", 1.10, 2.23);
    bar("Reading", 3.33, 3.76);
    write(7.09, "31744 bytes of flash verified\n");
    write(7.09, "\n");
    write(7.09, "Avrdude done.  Thank you.\n");
    return writes;
}
} // namespace

Q_DECLARE_METATYPE(Writes)

class TestUpload : public QObject
{
    Q_OBJECT

private slots:
    void commandText_data();
    void commandText();
    void invocation_data();
    void invocation();
    void invocationMatchesTextSplitting_data();
    void invocationMatchesTextSplitting();

    void decoderJoinsCharactersCutBetweenChunks();
    void decoderReplacesNulAndInvalidBytes();
    void decoderFinishAndReset();
    void decoderKeepsByteOrderMarkAtChunkStart();
    void decoderCodePages_data();
    void decoderCodePages();
    void decoderLineEnds_data();
    void decoderLineEnds();
    void decoderUnknownEncoding();
    void decoderPlatformEncoding();

    void programmerPathOpensEveryFile_data();
    void programmerPathOpensEveryFile();
    void programmerPathOnlyForTheFilesHandedOver();

    void verdictReportLine_data();
    void verdictReportLine();
    void verdictAtEveryCut_data();
    void verdictAtEveryCut();
    void verdictStartsAfreshEachRun();
    void verdictRejects_data();
    void verdictRejects();

    void progressWatch();
    void progressWatchEndlessLine();
    void progressWatchHealthyUploads_data();
    void progressWatchHealthyUploads();
};

void TestUpload::commandText_data()
{
    QTest::addColumn<QString>("appDir");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");

    QTest::newRow("plain") << "/opt/kiverlo"
                           << "/dev/ttyUSB0"
                           << "/home/u/blink.hex"
                           << "\"/opt/kiverlo//avrdude\" -c arduino -p m328p -C \"/opt/kiverlo/avrdude.conf\" "
                              "-P /dev/ttyUSB0 -U flash:w:\"/home/u/blink.hex\":i";
    QTest::newRow("empty port")
        << "/a"
        << ""
        << "/b.hex"
        << "\"/a//avrdude\" -c arduino -p m328p -C \"/a/avrdude.conf\" -P  -U flash:w:\"/b.hex\":i";
    QTest::newRow("root folder") << "/"
                                 << "COM3"
                                 << "C:/x y/f.hex"
                                 << "\"///avrdude\" -c arduino -p m328p -C \"//avrdude.conf\" -P COM3 -U "
                                    "flash:w:\"C:/x y/f.hex\":i";
    // Shown as composed: quotes inside values are echoed untouched.
    QTest::newRow("quote in path")
        << "/a"
        << "p"
        << "/x\"y.hex"
        << "\"/a//avrdude\" -c arduino -p m328p -C \"/a/avrdude.conf\" -P p -U flash:w:\"/x\"y.hex\":i";
}

void TestUpload::commandText()
{
    QFETCH(QString, appDir);
    QFETCH(QString, port);
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QCOMPARE(buildUploadCommand(appDir, port, path), expected);
}

void TestUpload::invocation_data()
{
    QTest::addColumn<QString>("appDir");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");

    const QStringList head {"-c", "arduino", "-p", "m328p", "-C"};
    QTest::newRow("plain") << "/opt/k"
                           << "/dev/ttyACM0"
                           << "/h/a.hex"
                           << "/opt/k//avrdude"
                           << head
            + QStringList {"/opt/k/avrdude.conf", "-P", "/dev/ttyACM0", "-U", "flash:w:/h/a.hex:i"};
    QTest::newRow("empty port: nine arguments")
        << "/opt/k"
        << ""
        << "/h/a.hex"
        << "/opt/k//avrdude" << head + QStringList {"/opt/k/avrdude.conf", "-P", "-U", "flash:w:/h/a.hex:i"};
    QTest::newRow("blank port: nine arguments")
        << "/opt/k"
        << " \t "
        << "/h/a.hex"
        << "/opt/k//avrdude" << head + QStringList {"/opt/k/avrdude.conf", "-P", "-U", "flash:w:/h/a.hex:i"};
    QTest::newRow("blanks everywhere") << "/my tools/k"
                                       << "my port"
                                       << "/my files/a b.hex"
                                       << "/my tools/k//avrdude"
                                       << head
            + QStringList {"/my tools/k/avrdude.conf", "-P", "my port", "-U", "flash:w:/my files/a b.hex:i"};
    // Quotes must neither end the argument nor smuggle in options.
    QTest::newRow("quotes cannot inject") << "/q\"d"
                                          << "x\" -U \"eeprom:w:e.hex"
                                          << "/f\" -U \"eeprom:w:/e.hex"
                                          << "/q\"d//avrdude"
                                          << head
            + QStringList {
                "/q\"d/avrdude.conf", "-P", "x\" -U \"eeprom:w:e.hex", "-U", "flash:w:/f\" -U \"eeprom:w:/e.hex:i"};
    QTest::newRow("root folder") << "/"
                                 << "COM7"
                                 << "C:/f.hex"
                                 << "///avrdude"
                                 << head + QStringList {"//avrdude.conf", "-P", "COM7", "-U", "flash:w:C:/f.hex:i"};
}

void TestUpload::invocation()
{
    QFETCH(QString, appDir);
    QFETCH(QString, port);
    QFETCH(QString, path);
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    const UploadInvocation run = buildUploadInvocation(appDir, port, path);
    QCOMPARE(run.program, program);
    QCOMPARE(run.arguments, arguments);
}

void TestUpload::invocationMatchesTextSplitting_data()
{
    QTest::addColumn<QString>("appDir");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("path");
    QTest::newRow("plain") << "/usr/lib/kiverlo"
                           << "/dev/ttyUSB1"
                           << "/tmp/x.hex";
    QTest::newRow("blanks in folder and path") << "/a b/c\td"
                                               << "COM4"
                                               << "/e  f/g h.hex";
    QTest::newRow("empty port") << "/a"
                                << ""
                                << "/b.hex";
    QTest::newRow("non-ASCII") << "/ø/ü"
                               << "/dev/ttyS0"
                               << "/Grüße/привет.hex";
}

// Where the text holds no quote inside a value, starting the argument list
// is the same as starting the echoed text: the user sees what really runs.
void TestUpload::invocationMatchesTextSplitting()
{
    QFETCH(QString, appDir);
    QFETCH(QString, port);
    QFETCH(QString, path);
    const UploadInvocation run = buildUploadInvocation(appDir, port, path);
    QCOMPARE(QProcess::splitCommand(buildUploadCommand(appDir, port, path)), QStringList {run.program} + run.arguments);
}

void TestUpload::decoderJoinsCharactersCutBetweenChunks()
{
    const QString text = QStringLiteral("Schreibe € 𝄞 ä | 100% ✓\n");
    const QByteArray bytes = text.toUtf8();
    // Every cut point, and every byte on its own.
    for (int cut = 0; cut <= bytes.size(); ++cut) {
        OutputDecoder decoder(utf8);
        QString joined = decoder.decode(bytes.left(cut));
        joined += decoder.decode(bytes.mid(cut));
        joined += decoder.finish();
        QCOMPARE(joined, text);
    }
    OutputDecoder decoder(utf8);
    QString byteByByte;
    for (char byte : bytes)
        byteByByte += decoder.decode(QByteArray(1, byte));
    QCOMPARE(byteByByte + decoder.finish(), text);
}

void TestUpload::decoderReplacesNulAndInvalidBytes()
{
    const QChar replacement(QChar::ReplacementCharacter);
    OutputDecoder decoder(utf8);
    QCOMPARE(decoder.decode(QByteArray("ab\0cd\0\0e", 8)),
        QStringLiteral("ab") + replacement + QStringLiteral("cd") + replacement + replacement + QStringLiteral("e"));

    // A stray continuation byte and an impossible lead byte are shown, and
    // the text after them is intact.
    const QString invalid = decoder.decode(QByteArray("x\x80y\xFFz"));
    QCOMPARE(invalid, QStringLiteral("x") + replacement + QStringLiteral("y") + replacement + QStringLiteral("z"));

    // A lead byte followed by something that cannot continue it.
    QString broken = decoder.decode(QByteArray("\xE2"));
    broken += decoder.decode(QByteArray("A"));
    QVERIFY(broken.endsWith(QLatin1Char('A')));
    QVERIFY(broken.startsWith(replacement));
}

void TestUpload::decoderFinishAndReset()
{
    OutputDecoder decoder(utf8);
    QCOMPARE(decoder.decode(QByteArray("ok \xF0\x9D")), QStringLiteral("ok "));
    // The stream ends inside a character: it is shown, not dropped.
    const QString rest = decoder.finish();
    QVERIFY(!rest.isEmpty());
    QVERIFY(rest.count(QChar(QChar::ReplacementCharacter)) == rest.size());
    QCOMPARE(decoder.finish(), QString());

    // A new run starts clean: bytes held from the last one do not leak in.
    QCOMPARE(decoder.decode(QByteArray("\xC3")), QString());
    decoder.reset();
    QCOMPARE(decoder.decode(QByteArray("\xA4")), QString(QChar(QChar::ReplacementCharacter)));
}

void TestUpload::decoderKeepsByteOrderMarkAtChunkStart()
{
    // U+FEFF is text like any other: it must not vanish because a chunk
    // happens to begin with it, neither at the start of the stream nor later.
    const QChar mark(QChar::ByteOrderMark);
    const QString expected = QString(mark) + QStringLiteral("A") + mark + mark + QStringLiteral("B");
    const QByteArray encodedMark("\xEF\xBB\xBF");
    const QByteArray stream = encodedMark + "A" + encodedMark + encodedMark + "B";

    OutputDecoder whole(utf8);
    QCOMPARE(decodeStream(whole, stream), expected);

    OutputDecoder chunked(utf8);
    QString text = chunked.decode(stream.left(2));
    text += chunked.decode(stream.mid(2, 2));
    text += chunked.decode(stream.mid(4));
    text += chunked.finish();
    QCOMPARE(text, expected);
}

// The ANSI code pages a Windows programmer writes in, decoded on any
// platform: whole characters, wherever the chunks end, and the same
// replacements as in UTF-8.
void TestUpload::decoderCodePages_data()
{
    QTest::addColumn<QByteArray>("encoding");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");

    const QString replacement {QChar(QChar::ReplacementCharacter)};
    QTest::newRow("UTF-8") << QByteArray("UTF-8")
                           << QByteArray("C:/Gr\xC3\xBC\xC3\x9F"
                                         "e/\xD0\x96.hex")
                           << QStringLiteral("C:/Grüße/Ж.hex");
    QTest::newRow("windows-1252") << QByteArray("windows-1252")
                                  << QByteArray("C:/Users/Ren\xE9"
                                                "e/caf\xE9 \x80 5.hex")
                                  << QStringLiteral("C:/Users/Renée/café € 5.hex");
    QTest::newRow("windows-1251") << QByteArray("windows-1251")
                                  << QByteArray("C:/\xCF\xF0\xEE\xF8\xE8\xE2\xEA\xE0/\xC6.hex")
                                  << QStringLiteral("C:/Прошивка/Ж.hex");
    QTest::newRow("GBK, two-byte characters")
        << QByteArray("GBK") << QByteArray("C:/\xB9\xCC\xBC\xFE/a.hex") << QStringLiteral("C:/固件/a.hex");
    // 0xB0 0xB0 is one character whose second byte could also lead.
    QTest::newRow("GBK, second bytes that could lead")
        << QByteArray("GBK") << QByteArray("\xB0\xB0\xB0\xA1\xB0\xB0") << QStringLiteral("鞍啊鞍");
    QTest::newRow("Shift_JIS, single and double bytes")
        << QByteArray("Shift_JIS") << QByteArray("\x83\x76\xB1\x83\x8D") << QStringLiteral("プｱロ");
    QTest::newRow("NUL in a code page") << QByteArray("windows-1251") << QByteArray("\xC6\0\0z", 4)
                                        << QStringLiteral("Ж") + replacement + replacement + QStringLiteral("z");
    QTest::newRow("NUL after a two-byte character") << QByteArray("GBK") << QByteArray("\xD6\xD0\0z", 4)
                                                    << QStringLiteral("中") + replacement + QStringLiteral("z");
    // A lead byte whose partner never comes: shown, and what follows is kept,
    // line ends in particular.
    QTest::newRow("GBK, lead byte before a blank")
        << QByteArray("GBK") << QByteArray("\x81 z") << replacement + QStringLiteral(" z");
    QTest::newRow("GBK, lead byte before a line end")
        << QByteArray("GBK") << QByteArray("a\x81\nb") << QStringLiteral("a") + replacement + QStringLiteral("\nb");
    QTest::newRow("GBK, lead byte before NUL")
        << QByteArray("GBK") << QByteArray("\x81\0b", 3) << replacement + replacement + QStringLiteral("b");
    QTest::newRow("GBK, lead byte at the end")
        << QByteArray("GBK") << QByteArray("ok \xD6") << QStringLiteral("ok ") + replacement;
    // In a code page the bytes of a UTF-8 byte order mark are characters.
    QTest::newRow("windows-1252, byte order mark bytes") << QByteArray("windows-1252")
                                                         << QByteArray("\xEF\xBB\xBF"
                                                                       "A")
                                                         << QStringLiteral("ï»¿A");
}

void TestUpload::decoderCodePages()
{
    QFETCH(QByteArray, encoding);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    QVERIFY(OutputDecoder(encoding).isValid());
    const QStringList texts = decodedEveryWay(encoding, bytes);
    for (int i = 0; i < texts.size(); ++i)
        QVERIFY2(texts.at(i) == expected, qPrintable(QStringLiteral("way %1: %2").arg(i).arg(texts.at(i))));
}

// The console makes a line break of "\r", of "\n" and of "\r\n" when it
// gets them in one piece; the decoder hands it "\n" alone, so that a pair
// cut between chunks is not two line breaks.
void TestUpload::decoderLineEnds_data()
{
    QTest::addColumn<QByteArray>("encoding");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");
    QTest::newRow("Windows line ends") << QByteArray("windows-1252")
                                       << QByteArray("avrdude: AVR device initialized\r\n\r\nWriting | ## | 100%\r\n")
                                       << QStringLiteral("avrdude: AVR device initialized\n\nWriting | ## | 100%\n");
    // avrdude.exe ends a Windows error message so.
    QTest::newRow("returns before a line end")
        << QByteArray("windows-1252")
        << QByteArray("cannot open port \\\\.\\COM9: File not found.\r\r\n\r\navrdude done.\r\n")
        << QStringLiteral("cannot open port \\\\.\\COM9: File not found.\n\navrdude done.\n");
    QTest::newRow("lone carriage returns")
        << QByteArray("UTF-8") << QByteArray("10%\r20%\r\r\n") << QStringLiteral("10%\n20%\n");
    QTest::newRow("carriage return at the end") << QByteArray("UTF-8") << QByteArray("a\r") << QStringLiteral("a\n");
    QTest::newRow("after a cut character")
        << QByteArray("GBK") << QByteArray("\xD6\xD0\r\n\xD6\r\n")
        << QStringLiteral("中\n") + QChar(QChar::ReplacementCharacter) + QStringLiteral("\n");
}

void TestUpload::decoderLineEnds()
{
    QFETCH(QByteArray, encoding);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    const QStringList texts = decodedEveryWay(encoding, bytes);
    for (int i = 0; i < texts.size(); ++i)
        QVERIFY2(texts.at(i) == expected, qPrintable(QStringLiteral("way %1: %2").arg(i).arg(texts.at(i))));

    // A new run does not begin with the end of the last one.
    OutputDecoder decoder(encoding);
    QCOMPARE(decoder.decode(QByteArray("x\r")), QStringLiteral("x"));
    decoder.reset();
    QCOMPARE(decoder.decode(QByteArray("\ny")), QStringLiteral("\ny"));
}

void TestUpload::decoderUnknownEncoding()
{
    OutputDecoder decoder(QByteArray("no-such-encoding"));
    QVERIFY(!decoder.isValid());
    QCOMPARE(decoder.decode(QByteArray("\xC3\xA4")), QStringLiteral("ä"));
}

// What the default decoder reads is what the programmer writes on this
// platform: the ANSI code page on Windows, UTF-8 elsewhere.
void TestUpload::decoderPlatformEncoding()
{
    OutputDecoder decoder;
    QVERIFY(decoder.isValid());
    const QString text = QStringLiteral("C:/Users/Renée/Прошивка/固件.hex");
#ifdef Q_OS_WIN
    const UINT codePage = GetACP();
    const QByteArray expectedName = codePage == CP_UTF8 ? QByteArray("UTF-8")
        : codePage == 932                               ? QByteArray("Shift_JIS")
                                                        : "windows-" + QByteArray::number(uint(codePage));
    QCOMPARE(OutputDecoder::programmerEncoding(), expectedName);
    // Whatever of the text this code page holds, as Windows itself writes it.
    const std::wstring wide = text.toStdWString();
    const int size = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    QByteArray bytes(size, '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.c_str(), int(wide.size()), bytes.data(), size, nullptr, nullptr);
    const int back = MultiByteToWideChar(CP_ACP, 0, bytes.constData(), bytes.size(), nullptr, 0);
    std::wstring roundTrip(size_t(back), L'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.constData(), bytes.size(), &roundTrip[0], back);
    QCOMPARE(decodeStream(decoder, bytes), QString::fromStdWString(roundTrip));
    if (codePage == 1252)
        QCOMPARE(OutputDecoder().decode(QByteArray("Ren\xE9"
                                                   "e")),
            QStringLiteral("Renée"));
#else
    QCOMPARE(OutputDecoder::programmerEncoding(), QByteArray("UTF-8"));
    QCOMPARE(decodeStream(decoder, text.toUtf8()), text);
#endif
}

namespace {
// What a C program such as the programmer does with a file argument: it gets
// the argument as the bytes of the platform's narrow strings (on Windows the
// ANSI code page) and opens it. Whether it read the whole file.
bool openedAsCProgram(const QString &argument, const QByteArray &content)
{
    const QByteArray narrow = QFile::encodeName(argument);
    FILE *file = std::fopen(narrow.constData(), "rb");
    if (!file)
        return false;
    QByteArray read(content.size() + 1, '\0');
    const size_t got = std::fread(read.data(), 1, size_t(read.size()), file);
    std::fclose(file);
    return got == size_t(content.size()) && read.left(content.size()) == content;
}

// Windows only: whether the ANSI code page holds every character of `text`.
bool inAnsiCodePage(const QString &text)
{
#ifdef Q_OS_WIN
    if (GetACP() == CP_UTF8)
        return true;
    const std::wstring wide = text.toStdWString();
    BOOL usedDefault = FALSE;
    WideCharToMultiByte(
        CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), int(wide.size()), nullptr, 0, nullptr, &usedDefault);
    return !usedDefault;
#else
    Q_UNUSED(text)
    return true;
#endif
}

} // namespace

void TestUpload::programmerPathOpensEveryFile_data()
{
    QTest::addColumn<QString>("folder");
    QTest::newRow("ASCII") << QStringLiteral("firmware");
    QTest::newRow("blanks") << QStringLiteral("my firmware");
    QTest::newRow("Latin") << QStringLiteral("Grüße");
    QTest::newRow("Cyrillic") << QStringLiteral("Прошивка");
    QTest::newRow("Chinese") << QStringLiteral("固件");
}

// Every file the dialog can return, the programmer can open under the name it
// is handed; the name is the path as chosen wherever that works.
void TestUpload::programmerPathOpensEveryFile()
{
    QFETCH(QString, folder);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkpath(folder));
    const QString path = dir.path() + QLatin1Char('/') + folder + QStringLiteral("/blink.hex");
    const QByteArray content(":00000001FF\n");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
    file.close();

    const QString handed = programmerPath(path);
    QVERIFY2(openedAsCProgram(handed, content), qPrintable(handed));
    QVERIFY(!handed.contains(QLatin1Char('\\')));
    if (inAnsiCodePage(path)) {
        QCOMPARE(handed, path);
    } else {
        // The fault this mends: the long name cannot be opened.
        QVERIFY(!openedAsCProgram(path, content));
        QVERIFY(inAnsiCodePage(handed));
        // The same file, not one that happens to hold the same.
        const QByteArray changed(":00000001FF\r\n");
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(changed), qint64(changed.size()));
        file.close();
        QVERIFY(openedAsCProgram(handed, changed));
    }
}

void TestUpload::programmerPathOnlyForTheFilesHandedOver()
{
    // A file that is not there has no short name: the path stays, and the
    // programmer says it cannot open it.
    const QString missing = QDir::tempPath() + QStringLiteral("/Прошивка-нет/固件.hex");
    QCOMPARE(programmerPath(missing), missing);
    QCOMPARE(programmerPath(QString()), QString());

    // The invocation hands over exactly these names; the text shows the path
    // as chosen.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = dir.path() + QStringLiteral("/Прошивка");
    QVERIFY(QDir().mkpath(folder));
    const QString path = folder + QStringLiteral("/a.hex");
    const QString config = folder + QStringLiteral("/avrdude.conf");
    for (const QString &name : {path, config}) {
        QFile file(name);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    // The port goes in trimmed, and is blanked as it went in.
    const UploadInvocation run = buildUploadInvocation(folder, QStringLiteral(" COM5 "), path);
    QCOMPARE(run.program, folder + QStringLiteral("//avrdude"));
    QCOMPARE(run.handedValues,
        QStringList({run.program, programmerPath(config), programmerPath(path), QStringLiteral("COM5")}));
    QCOMPARE(run.arguments.at(5), programmerPath(config));
    QCOMPARE(run.arguments.last(), QStringLiteral("flash:w:") + programmerPath(path) + QStringLiteral(":i"));
    QVERIFY(buildUploadCommand(folder, QStringLiteral("COM5"), path).contains(path));
#ifdef Q_OS_WIN
    if (!inAnsiCodePage(path))
        QVERIFY(!run.arguments.last().contains(path));
#endif
}

void TestUpload::verdictReportLine_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("report");
    QTest::newRow("avrdude 6 and 7") << "avrdude: 924 bytes of flash verified" << true;
    QTest::newRow("newer, without the name") << "32256 bytes of flash verified" << true;
    QTest::newRow("one byte") << "avrdude: 1 byte of flash verified" << true;
    QTest::newRow("trailing blanks") << "avrdude.exe: 8 bytes of flash verified \t" << true;
    QTest::newRow("words alone") << "flash verified" << false;
    QTest::newRow("more after it") << "avrdude: 924 bytes of flash verified, then lost" << false;
    QTest::newRow("path in an error") << "avrdude error: read from file /x/flash verified/a.hex failed" << false;
    QTest::newRow("path ending in the words")
        << "avrdude: verifying flash memory against /tmp/12 bytes of flash verified" << false;
    QTest::newRow("blanked value as name")
        << QString(QChar(QChar::ObjectReplacementCharacter)) + QStringLiteral(": 5 bytes of flash verified") << false;
    QTest::newRow("endless") << QStringLiteral("avrdude: %1 bytes of flash verified").arg(QString(300, '9')) << false;
}

void TestUpload::verdictReportLine()
{
    QFETCH(QString, line);
    QFETCH(bool, report);
    QCOMPARE(VerdictScanner::reportsVerifiedWrite(line), report);
}

void TestUpload::verdictAtEveryCut_data()
{
    // The path, the folder and the port are what the tool hands the
    // programmer; the output is what the programmer prints back.
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("output");
    QTest::addColumn<bool>("verified");
    const QString odd = QStringLiteral("/tmp/x\n5 bytes of flash verified\n/flash verified.hex");
    QTest::newRow("report") << "/tmp/a.hex"
                            << "avrdude: reading input file \"/tmp/a.hex\"\r\navrdude: 924 bytes of flash "
                               "verified\r\n\r\navrdude done.  Thank you.\r\n"
                            << true;
    QTest::newRow("report, last line unended") << "/tmp/a.hex"
                                               << "Reading | ##\r1 byte of flash verified" << true;
    QTest::newRow("bad file in a folder named like the report")
        << "/tmp/x/flash verified/bad.hex"
        << "avrdude error: checksum mismatch at line 1 of /tmp/x/flash verified/bad.hex\n"
           "avrdude error: read from file /tmp/x/flash verified/bad.hex failed\n"
        << false;
    QTest::newRow("line breaks in the path")
        << odd << "avrdude: reading input file \"" + odd + "\"\navrdude: input file " + odd + " contains 0 bytes\n"
        << false;
    QTest::newRow("path with line breaks, then the report")
        << odd << "avrdude: reading input file \"" + odd + "\"\navrdude: 12 bytes of flash verified\n"
        << true;
    QTest::newRow("the port") << "/tmp/a.hex"
                              << "avrdude: ser_open(): can't open device \"/dev/\n3 bytes of flash verified\"\n"
                              << false;
    QTest::newRow("the folder") << "/tmp/a.hex"
                                << "/opt/k\n7 bytes of flash verified\n/avrdude.conf\n"
                                << false;
    // The output's carriage returns reach the scanner as line feeds, those
    // in the path too.
    const QString returns = QStringLiteral("/tmp/\r1 bytes of flash verified\r/bad.hex");
    QTest::newRow("carriage returns in the path")
        << returns << "avrdude error: checksum mismatch at line 1 of " + returns + "\r\n"
        << false;
}

void TestUpload::verdictAtEveryCut()
{
    QFETCH(QString, path);
    QFETCH(QString, output);
    QFETCH(bool, verified);
    // What the scanner is given: the output as the decoder passes it on.
    output = OutputDecoder::unifiedLineEnds(output);
    const QStringList handed {path, QStringLiteral("/opt/k\n7 bytes of flash verified\n"),
        QStringLiteral("/dev/\n3 bytes of flash verified"), QString()};
    // In two pieces, cut anywhere, and in three.
    for (int cut = 0; cut <= output.size(); ++cut) {
        for (int second = cut; second <= output.size(); second += qMax(1, output.size() / 13)) {
            VerdictScanner verdict;
            verdict.reset(handed);
            verdict.feed(output.left(cut));
            verdict.feed(output.mid(cut, second - cut));
            verdict.feed(output.mid(second));
            verdict.finish();
            QVERIFY2(verdict.verified() == verified, qPrintable(QStringLiteral("cut at %1, %2").arg(cut).arg(second)));
        }
    }
    // A character at a time.
    VerdictScanner verdict;
    verdict.reset(handed);
    for (QChar c : output)
        verdict.feed(QString(c));
    verdict.finish();
    QCOMPARE(verdict.verified(), verified);
}

void TestUpload::verdictStartsAfreshEachRun()
{
    VerdictScanner verdict;
    verdict.reset({QStringLiteral("/a.hex")});
    verdict.feed(QStringLiteral("avrdude: 9 bytes of flash verified\n"));
    verdict.finish();
    QVERIFY(verdict.verified());
    // What one run leaves unfinished does not join the next run's output.
    verdict.reset({QStringLiteral("/a.hex")});
    QVERIFY(!verdict.verified());
    verdict.feed(QStringLiteral("avrdude: 9 bytes of flash"));
    verdict.reset({QStringLiteral("/a.hex")});
    verdict.feed(QStringLiteral(" verified\n"));
    verdict.finish();
    QVERIFY(!verdict.verified());
    // Nor does a value held back at the end of one run.
    verdict.reset({QStringLiteral("/tmp/flash verified\n.hex")});
    verdict.feed(QStringLiteral("4 bytes of /tmp/flash"));
    verdict.reset();
    verdict.feed(QStringLiteral(" verified\n"));
    verdict.finish();
    QVERIFY(!verdict.verified());
}

void TestUpload::verdictRejects_data()
{
    QTest::addColumn<QStringList>("chunks");
    QTest::newRow("nothing") << QStringList {};
    QTest::newRow("error") << QStringList {"avrdude: stk500_recv(): programmer is not responding\n"};
    QTest::newRow("other case") << QStringList {"Flash Verified", "FLASH VERIFIED"};
    QTest::newRow("interrupted") << QStringList {"4 bytes of flash ver", "\n", "ified"};
    QTest::newRow("mismatch") << QStringList {"avrdude: verification error, first mismatch at byte 0x0000\n"};
}

void TestUpload::verdictRejects()
{
    QFETCH(QStringList, chunks);
    VerdictScanner verdict;
    for (const QString &chunk : chunks)
        verdict.feed(chunk);
    verdict.finish();
    QVERIFY(!verdict.verified());
}

void TestUpload::progressWatch()
{
    // Whether any of the pieces, fed in turn, shows progress.
    ProgressWatch watch;
    const auto anyProgress = [&watch](const QStringList &pieces) {
        bool moved = false;
        for (const QString &piece : pieces)
            moved = watch.feed(piece) || moved;
        return moved;
    };
    QVERIFY(!watch.feed(QString()));

    // A bar of marks that grows, then a bar that redraws its percentage:
    // every piece is progress.
    QVERIFY(watch.feed(QStringLiteral("Writing | ")));
    for (int i = 0; i < 50; ++i)
        QVERIFY(watch.feed(QStringLiteral("#")));
    QVERIFY(watch.feed(QStringLiteral(" | 100% 2.10s\n")));
    for (int percent = 0; percent <= 100; percent += 2)
        QVERIFY(watch.feed(QStringLiteral("Reading | ## | %1% 0.%2s\n").arg(percent).arg(percent)));

    // A board that does not answer: one repeated line, but a new attempt
    // number each time.
    for (int attempt = 1; attempt <= 10; ++attempt) {
        QVERIFY(anyProgress({QStringLiteral("avrdude: stk500_recv(): programmer is not responding\n"),
            QStringLiteral("avrdude: stk500_getsync() attempt %1 of 10: not in sync: resp=0x00\n").arg(attempt)}));
    }

    // A port whose device is gone: the same errors again and again, in
    // pieces cut anywhere, are progress only the first time.
    const QString loop = QStringLiteral(
        "avrdude error: programmer is not responding\navrdude error: unable to write: sorry no info avail\n");
    QVERIFY(watch.feed(loop));
    for (int cut = 0; cut <= loop.size(); ++cut)
        QVERIFY2(!anyProgress({loop.left(cut), loop.mid(cut)}), qPrintable(QString::number(cut)));
    // Something new after it counts again.
    QVERIFY(watch.feed(QStringLiteral("avrdude done.  Thank you.\n")));

    // A new run has seen nothing yet.
    watch.reset();
    QVERIFY(watch.feed(loop));
}

void TestUpload::progressWatchEndlessLine()
{
    // A line is compared by its first 256 characters, its end included:
    // each one of them that makes the line new is progress, none after it.
    ProgressWatch watch;
    const QString dots(300, QLatin1Char('.'));
    QVERIFY(watch.feed(QStringLiteral("avrdude: writing")));
    for (int length = 17; length <= ProgressWatch::ComparedLength; ++length)
        QVERIFY2(watch.feed(QStringLiteral(".")), qPrintable(QString::number(length)));
    for (int length = ProgressWatch::ComparedLength + 1; length <= 10000; ++length)
        QVERIFY2(!watch.feed(QStringLiteral(".")), qPrintable(QString::number(length)));
    QVERIFY(!watch.feed(dots));
    // Its end lies past the cut too: it changes nothing compared.
    QVERIFY(!watch.feed(QStringLiteral("\n")));
    // Another line that starts the same is the same line, however it goes
    // on; one that differs within the cut is new.
    QVERIFY(!watch.feed(QStringLiteral("avrdude: writing") + dots + QStringLiteral("more\n")));
    QVERIFY(watch.feed(QStringLiteral("avrdude: writing") + dots.left(200) + QStringLiteral("x") + dots));

    // A line whose end is its 256th character is compared with its end: the
    // end makes it a complete line, new.
    watch.reset();
    const QString line(ProgressWatch::ComparedLength - 1, QLatin1Char('='));
    QVERIFY(watch.feed(line));
    QVERIFY(watch.feed(QStringLiteral("\n")));
    QVERIFY(!watch.feed(line + QStringLiteral("\n")));
}

void TestUpload::progressWatchHealthyUploads_data()
{
    // Full uploads of a 31 KB image to the simulated board, as each avrdude
    // wrote them (fixtures/record-avrdude.sh): through a pipe, as the tool
    // runs it, and on a terminal, where it redraws its bars after "\r".
    QTest::addColumn<Writes>("writes");
    for (const char *name : {"avrdude-7.1-pipe", "avrdude-7.1-terminal", "avrdude-6.3-pipe", "avrdude-6.3-terminal"})
        QTest::newRow(name) << readRecording(QString::fromLatin1(name));
    QTest::newRow("avrdude 8.x shape") << avrdude8Shape();
}

void TestUpload::progressWatchHealthyUploads()
{
    // Fed write by write, as the window would read them at the slowest, the
    // watch must see progress within a tenth of a second of every write from
    // the first bar on: once the board answers, the programmer never looks
    // stuck, the verify read's bar included. (Before, while the port opens,
    // avrdude may print the same line twice, which is no progress.)
    QFETCH(Writes, writes);
    QVERIFY2(writes.size() > 100, "the recording could not be read");
    OutputDecoder decoder(utf8);
    ProgressWatch watch;
    QVector<qint64> progressAt;
    QString text;
    int firstBar = -1;
    for (int i = 0; i < writes.size(); ++i) {
        const QString piece = decoder.decode(writes[i].bytes);
        text += piece;
        if (watch.feed(piece))
            progressAt << writes[i].atUs;
        if (firstBar < 0 && text.contains(QStringLiteral(" | ")))
            firstBar = i;
    }
    QVERIFY(text.contains(QStringLiteral("Writing | ")));
    QVERIFY(text.contains(QStringLiteral("Reading | ")));
    QVERIFY(text.contains(QStringLiteral("31744 bytes of flash verified")));

    const qint64 nearUs = 100000;
    for (int i = firstBar; i < writes.size(); ++i) {
        const qint64 at = writes[i].atUs;
        const auto next = std::lower_bound(progressAt.cbegin(), progressAt.cend(), at - nearUs);
        QVERIFY2(next != progressAt.cend() && *next <= at + nearUs,
            qPrintable(QStringLiteral("no progress near write %1 at %2 s: %3")
                           .arg(i)
                           .arg(double(at) / 1e6)
                           .arg(QString::fromLatin1(writes[i].bytes.toPercentEncoding(" |#:")))));
    }
}

QTEST_APPLESS_MAIN(TestUpload)
#include "tst_upload.moc"

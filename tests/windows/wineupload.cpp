// SPDX-License-Identifier: GPL-3.0-or-later
// One upload through the real window as a Windows user makes it, with the
// real avrdude.exe beside this program: the port is picked from the port
// list as Windows names it, the file is chosen in the file dialog, and the
// run must end with the expected verdict and the window unlocked. The board
// at the other end, and the check of its flash, are the business of
// e2e-check.sh, which starts this program under Wine once per row.
//
// kiverlo_wineupload --port NAME --expect VERDICT [--within SECONDS] [--flash-out FILE] FILE-CHOICE
//   --port NAME      the port list's item to pick, such as \\.\COM5
//   --expect TEXT    "Completed!" or "Failed"
//   --within SECONDS the verdict must come in under SECONDS from the click
//                    on Upload... (a limit a user sees, such as how long a
//                    wrong port takes to fail)
//   --flash-out FILE where to write the bytes the flash must then start with
//   FILE-CHOICE, one of:
//   --random SEED --folder ascii|cyrillic|chinese
//                    a random image filling the application flash, as a HEX
//                    file in a folder of that kind of name
//   --hex FILE       an existing HEX file (data records from address 0)
//   --bad            a HEX file with a spoiled checksum
//   --when-writing FILE
//                    creates FILE once the console shows the write under
//                    way, so that the check can pull the board then; the
//                    window's clock is the test's (see boardPulledMidWrite())
#include "guitest.h"
#include "intelhex.h"
#include "mainwindow.h"

#include <QAbstractItemView>
#include <QCommandLineParser>
#include <QHash>
#include <QSettings>

#include <cstdio>

namespace {

constexpr int kApplicationFlash = 0x7C00; // below the 1 KiB boot section

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// Where the run is, for the log of a row that hangs.
void step(const char *what)
{
    std::fprintf(stderr, "-- %s\n", what);
    std::fflush(stderr);
}

int failed(const char *what, const QString &detail = QString())
{
    std::fprintf(stderr, "FAIL: %s %s\n", what, qPrintable(detail));
    return 1;
}

// The row whose board is pulled in the middle of the write. The check pulls
// it once `signalFile` is there; avrdude.exe then prints the same few errors
// again every few seconds, without end: news the first time, no progress
// after that. The window's clock stands still until they have come twice, is
// moved on 20 seconds before the next time and 10 more after it: 30 seconds
// after the last news, so the window must stop the programmer now. Had it
// taken the repeats for progress, it would run on. Empty, or what went wrong.
QString boardPulledMidWrite(ManualClock &clock, QTextEdit *console, QPushButton *button, const QString &signalFile)
{
    if (!QTest::qWaitFor([console] { return console->toPlainText().contains(QStringLiteral("Writing | #")); }, 240000))
        return QStringLiteral("the write did not begin within 4 minutes");
    step("writing");
    writeFile(signalFile, QByteArray());
    // How many times the line printed most often after the write's bar has
    // come, complete.
    const auto mostRepeats = [console] {
        QStringList lines = console->toPlainText().split(QLatin1Char('\n'));
        lines.removeLast();
        int bar = -1;
        for (int i = 0; i < lines.size(); ++i) {
            if (lines[i].startsWith(QStringLiteral("Writing | ")))
                bar = i;
        }
        QHash<QString, int> seen;
        int most = 0;
        for (int i = bar + 1; i < lines.size(); ++i) {
            if (!lines[i].isEmpty())
                most = qMax(most, ++seen[lines[i]]);
        }
        return most;
    };
    for (const int times : {2, 3}) {
        if (!QTest::qWaitFor([&] { return mostRepeats() >= times || button->isEnabled(); }, 60000))
            return QStringLiteral("avrdude.exe did not print its errors %1 times within a minute").arg(times);
        if (button->isEnabled())
            return QStringLiteral("the run ended before 30 seconds without progress");
        step(times == 2 ? "errors again" : "errors a third time");
        clock.advance(times == 2 ? 20000 : 10000);
    }
    if (!QTest::qWaitFor([button] { return button->isEnabled(); }, 10000))
        return QStringLiteral("the programmer was not stopped 30 seconds after its last news");
    return QString();
}

} // namespace

int main(int argc, char *argv[])
{
    // Even offscreen, Qt opens Windows' own file dialog here, which a test
    // cannot fill in; Qt's dialog returns the path in the same form.
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication application(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption portOption(QStringLiteral("port"), QString(), QStringLiteral("name"));
    const QCommandLineOption expectOption(QStringLiteral("expect"), QString(), QStringLiteral("verdict"));
    const QCommandLineOption flashOption(QStringLiteral("flash-out"), QString(), QStringLiteral("file"));
    const QCommandLineOption randomOption(QStringLiteral("random"), QString(), QStringLiteral("seed"));
    const QCommandLineOption folderOption(QStringLiteral("folder"), QString(), QStringLiteral("kind"));
    const QCommandLineOption hexOption(QStringLiteral("hex"), QString(), QStringLiteral("file"));
    const QCommandLineOption badOption(QStringLiteral("bad"));
    const QCommandLineOption writingOption(QStringLiteral("when-writing"), QString(), QStringLiteral("file"));
    const QCommandLineOption withinOption(QStringLiteral("within"), QString(), QStringLiteral("seconds"));
    parser.addOptions({portOption, expectOption, flashOption, randomOption, folderOption, hexOption, badOption,
        writingOption, withinOption});
    parser.process(application);
    bool withinValid = true;
    const double within = parser.isSet(withinOption) ? parser.value(withinOption).toDouble(&withinValid) : 0;
    if (!withinValid || within < 0)
        return failed("--within takes a number of seconds, not", parser.value(withinOption));

    QTemporaryDir files;
    if (!files.isValid())
        return failed("no temporary folder");
    QString path;
    QByteArray expectedFlash;
    if (parser.isSet(randomOption)) {
        const QString kind = parser.value(folderOption);
        const QString folder = kind == QStringLiteral("cyrillic") ? QStringLiteral("Прошивка")
            : kind == QStringLiteral("chinese")                   ? QStringLiteral("固件")
                                                                  : QStringLiteral("firmware");
        QDir().mkpath(files.filePath(folder));
        path = files.filePath(folder + QStringLiteral("/image.hex"));
        expectedFlash = randomImage(parser.value(randomOption).toUInt(), kApplicationFlash);
        if (!writeIntelHex(path, expectedFlash))
            return failed("cannot write", path);
    } else if (parser.isSet(hexOption)) {
        path = QDir::fromNativeSeparators(parser.value(hexOption));
        expectedFlash = readIntelHexImage(path);
        if (expectedFlash.size() < 100)
            return failed("not a HEX file with a program:", path);
    } else if (parser.isSet(badOption)) {
        QByteArray hex = toIntelHex(randomImage(7, 1024));
        // Spoil the checksum of the tenth record.
        const int end = hex.indexOf('\n', 9 * 44) - 1;
        hex[end] = hex[end] == '0' ? '1' : '0';
        path = files.filePath(QStringLiteral("broken.hex"));
        if (!writeFile(path, hex))
            return failed("cannot write", path);
    } else {
        return failed("no file to upload");
    }
    if (parser.isSet(flashOption) && !writeFile(QDir::fromNativeSeparators(parser.value(flashOption)), expectedFlash))
        return failed("cannot write", parser.value(flashOption));

    // Nothing remembered from an earlier row (the registry of a throwaway
    // prefix).
    QSettings(QStringLiteral("Trunoma"), QStringLiteral("Kiverlo")).clear();
    // The row that pulls the board runs the window on the test's clock.
    std::unique_ptr<ManualClock> clock;
    if (parser.isSet(writingOption))
        clock = std::make_unique<ManualClock>();

    step("window");
    MainWindow window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return failed("the window was not shown");
    auto *ports = window.findChild<QComboBox *>(QStringLiteral("cboCommPort"));
    auto *button = window.findChild<QPushButton *>(QStringLiteral("btnUploadFlash"));
    auto *label = window.findChild<QLabel *>(QStringLiteral("lblOutput"));
    auto *console = window.findChild<QTextEdit *>(QStringLiteral("txtOutput"));
    if (!ports || !button || !label || !console)
        return failed("the window lacks its controls");

    // The port, picked from the open list with the mouse.
    const QString port = parser.value(portOption);
    QStringList listed;
    for (int i = 0; i < ports->count(); ++i)
        listed << ports->itemText(i);
    const int index = listed.indexOf(port);
    if (index < 0)
        return failed("the port list lacks",
            port + QStringLiteral(" (it holds: ") + listed.join(QStringLiteral(", ")) + QLatin1Char(')'));
    step("port");
    ports->showPopup();
    QAbstractItemView *view = ports->view();
    const QModelIndex item = view->model()->index(index, 0);
    const auto portInView = [view, item] {
        return view->isVisible() && view->viewport()->rect().contains(view->visualRect(item));
    };
    if (!QTest::qWaitFor(portInView, 5000))
        return failed("the port list did not open with the port in view");
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, view->visualRect(item).center());
    if (!QTest::qWaitFor([view] { return !view->isVisible(); }, 5000))
        return failed("the port list stayed open");
    const QString stored
        = QSettings(QStringLiteral("Trunoma"), QStringLiteral("Kiverlo")).value(QStringLiteral("commPort")).toString();
    if (stored != port)
        return failed("choosing the port stored", stored);

    // The file, chosen in the dialog; then the run.
    QElapsedTimer timer;
    timer.start();
    step("file dialog");
    answerNextFileDialog([path](QFileDialog *dialog) {
        step("choosing the file");
        // Typed into the name field, as a user may do; tried again for a
        // while in case the dialog is still reading the folder.
        const bool taken = QTest::qWaitFor(
            [dialog, path] {
                dialog->selectFile(path);
                static_cast<QDialog *>(dialog)->accept();
                return !dialog->isVisible();
            },
            20000);
        if (!taken) {
            step("the file dialog did not take the file");
            dialog->reject();
        }
    });
    QTest::mouseClick(button, Qt::LeftButton);
    if (label->text() != QStringLiteral("Programming. Please wait..."))
        return failed("the upload did not start:", label->text());
    step("upload");
    if (clock) {
        const QString wrong
            = boardPulledMidWrite(*clock, console, button, QDir::fromNativeSeparators(parser.value(writingOption)));
        if (!wrong.isEmpty()) {
            std::printf("%s\n", qPrintable(console->toPlainText()));
            return failed("board pulled mid-write:", wrong);
        }
    }
    if (!QTest::qWaitFor([button] { return button->isEnabled(); }, 240000))
        return failed("the upload did not end within 4 minutes");
    const double seconds = double(timer.elapsed()) / 1000;
    std::printf("%s\n", qPrintable(console->toPlainText()));
    std::printf("verdict: %s after %.1f s\n", qPrintable(label->text()), seconds);
    std::fflush(stdout);
    if (label->text() != parser.value(expectOption))
        return failed("the verdict is", label->text());
    if (within > 0 && seconds >= within)
        return failed("the verdict came too late:",
            QStringLiteral("%1 s, the limit is %2 s").arg(seconds, 0, 'f', 1).arg(within, 0, 'f', 0));
    if (!ports->isEnabled())
        return failed("the port list stayed locked");
    // The console shows the path as chosen, whatever name avrdude got.
    if (!console->toPlainText().contains(path))
        return failed("the console does not show the chosen path", path);
    return 0;
}

// SPDX-License-Identifier: GPL-3.0-or-later
// A user's hands and eyes inside the installed program: preloaded
// (LD_PRELOAD) into the Kiverlo that a desktop entry starts, it waits for the
// window, picks the board's port in the open port list with the mouse,
// clicks "Upload...", types the HEX file's path into the file dialog's name
// field and presses Enter, watches the run to its end, writes what the window
// then shows into a report and closes the window, so that the program ends
// as a user ends it. It adds nothing to the program: the executable, its
// libraries, its programmer and its settings are the installed ones.
//
// What to do comes from the environment (read once, then removed, with
// LD_PRELOAD, so that the programmer the window starts inherits none of it):
//   KIVERLO_DRIVE_PORT    the port list's item to pick, such as /dev/ttyACM0
//   KIVERLO_DRIVE_HEX     the HEX file to type into the file dialog
//   KIVERLO_DRIVE_REPORT  where the report goes
// The report's lines: "ports: <the list's items, comma-separated>",
// "started: <label after the click>", "verdict: <label at the end>",
// "seconds: <the run's length>", "unlocked: yes|no", "console:" and the
// console's text; or "FAIL: <what went wrong>" where the driving stopped.
// The caller judges the report and reads the board's flash.
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <cstdlib>
#include <memory>

namespace {

struct Task
{
    QString port;
    QString hex;
    QString report;
};

Task &task()
{
    static Task instance;
    return instance;
}

class Report
{
public:
    explicit Report(const QString &path)
        : file(path)
    {
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
            std::fprintf(stderr, "uploaddriver: cannot write %s\n", qPrintable(path));
    }
    void line(const QString &key, const QString &value)
    {
        file.write(key.toUtf8() + ": " + value.toUtf8() + '\n');
        file.flush();
        std::fprintf(stderr, "uploaddriver: %s: %s\n", qPrintable(key), qPrintable(value.left(200)));
    }
    // Returns false, for `return report.fail(...)`.
    bool fail(const QString &what)
    {
        line(QStringLiteral("FAIL"), what);
        return false;
    }

private:
    QFile file;
};

QWidget *findMainWindow()
{
    const QList<QWidget *> windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows) {
        if (window->findChild<QPushButton *>(QStringLiteral("btnUploadFlash")))
            return window;
    }
    return nullptr;
}

// Once the file dialog is up, types the path into its name field and
// presses Enter, as a user who knows where the file lies does.
void answerFileDialog(Report &report, const QString &path)
{
    auto *poll = new QTimer(qApp);
    auto started = std::make_shared<QElapsedTimer>();
    started->start();
    QObject::connect(poll, &QTimer::timeout, poll, [poll, started, &report, path] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog) {
            if (started->elapsed() > 60000) {
                poll->deleteLater();
                report.fail(QStringLiteral("no file dialog appeared within 60 s of the click"));
            }
            return;
        }
        poll->stop();
        poll->deleteLater();
        auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        if (!name) {
            report.fail(QStringLiteral("the file dialog has no name field"));
            dialog->reject();
            return;
        }
        QTest::qWait(200);
        name->setFocus();
        QTest::keyClicks(name, path);
        QTest::keyClick(name, Qt::Key_Return);
        if (!QTest::qWaitFor([dialog] { return !dialog->isVisible(); }, 20000)) {
            report.fail(QStringLiteral("the file dialog did not take ") + path);
            dialog->reject();
        }
    });
    poll->start(50);
}

bool drive(Report &report)
{
    const Task &what = task();
    QWidget *window = nullptr;
    if (!QTest::qWaitFor([&window] { return (window = findMainWindow()) && window->isVisible(); }, 120000))
        return report.fail(QStringLiteral("no Kiverlo window within 2 minutes"));
    if (!QTest::qWaitForWindowExposed(window, 30000))
        return report.fail(QStringLiteral("the window was not exposed"));
    auto *ports = window->findChild<QComboBox *>(QStringLiteral("cboCommPort"));
    auto *button = window->findChild<QPushButton *>(QStringLiteral("btnUploadFlash"));
    auto *label = window->findChild<QLabel *>(QStringLiteral("lblOutput"));
    auto *console = window->findChild<QTextEdit *>(QStringLiteral("txtOutput"));
    if (!ports || !button || !label || !console)
        return report.fail(QStringLiteral("the window lacks its controls"));

    // The port, picked from the open list with the mouse.
    QStringList listed;
    for (int i = 0; i < ports->count(); ++i)
        listed << ports->itemText(i);
    report.line(QStringLiteral("ports"), listed.join(QStringLiteral(", ")));
    const int index = listed.indexOf(what.port);
    if (index < 0)
        return report.fail(QStringLiteral("the port list lacks ") + what.port);
    ports->showPopup();
    QAbstractItemView *view = ports->view();
    if (!QTest::qWaitFor([view] { return view->isVisible(); }, 10000))
        return report.fail(QStringLiteral("the port list did not open"));
    QTest::qWait(100);
    QTest::mouseClick(
        view->viewport(), Qt::LeftButton, Qt::NoModifier, view->visualRect(view->model()->index(index, 0)).center());
    if (!QTest::qWaitFor([view] { return !view->isVisible(); }, 10000))
        return report.fail(QStringLiteral("the port list stayed open"));
    if (ports->currentText() != what.port)
        return report.fail(QStringLiteral("the list shows ") + ports->currentText());

    // "Upload...", the file, the run. (The dialog answers a name that does
    // not exist with a message box, which nobody here would close.)
    if (!QFileInfo(what.hex).isFile())
        return report.fail(QStringLiteral("no such file: ") + what.hex);
    answerFileDialog(report, what.hex);
    QElapsedTimer run;
    run.start();
    QTest::mouseClick(button, Qt::LeftButton);
    report.line(QStringLiteral("started"), label->text());
    if (label->text() != QStringLiteral("Programming. Please wait..."))
        return report.fail(QStringLiteral("the upload did not start"));
    // The window ends every run within its own limit of 5 minutes.
    if (!QTest::qWaitFor([button] { return button->isEnabled(); }, 6 * 60 * 1000))
        return report.fail(QStringLiteral("the run did not end within 6 minutes"));
    report.line(QStringLiteral("verdict"), label->text());
    report.line(QStringLiteral("seconds"), QString::number(double(run.elapsed()) / 1000, 'f', 1));
    report.line(QStringLiteral("unlocked"), ports->isEnabled() ? QStringLiteral("yes") : QStringLiteral("no"));
    report.line(QStringLiteral("console"), QStringLiteral("\n") + console->toPlainText());
    return true;
}

void start()
{
    // Lives as long as the program: the file dialog's watch may still report
    // after drive() has given up.
    static Report report(task().report);
    drive(report);
    // Closed as a user closes it: the program ends by itself.
    if (QWidget *window = findMainWindow())
        window->close();
    QTimer::singleShot(30000, qApp, [] {
        std::fprintf(stderr, "uploaddriver: the program did not end within 30 s of closing its window\n");
        QCoreApplication::exit(3);
    });
}

// Called from QCoreApplication's constructor: takes the task, leaves the
// environment as it would be without this library, and starts once the
// event loop runs.
void takeTask()
{
    task().port = QString::fromLocal8Bit(qgetenv("KIVERLO_DRIVE_PORT"));
    task().hex = QString::fromLocal8Bit(qgetenv("KIVERLO_DRIVE_HEX"));
    task().report = QString::fromLocal8Bit(qgetenv("KIVERLO_DRIVE_REPORT"));
    for (const char *name : {"LD_PRELOAD", "KIVERLO_DRIVE_PORT", "KIVERLO_DRIVE_HEX", "KIVERLO_DRIVE_REPORT"})
        qunsetenv(name);
    QTimer::singleShot(0, qApp, start);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(takeTask)

// SPDX-License-Identifier: GPL-3.0-or-later
// The whole upload by keyboard alone: from the moment the window shows until
// the verdict, nothing but key events, each sent to whatever widget has the
// focus at that moment, as a keyboard sends them.
#include "fakeprogrammer.h"
#include "guitest.h"

#include <QCheckBox>
#include <QTextEdit>

class TestKeyboard : public QObject, protected WindowTest
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void uploadByKeyboardAlone();
};

namespace {
// Where a keyboard's keys go now: an open popup (such as the completion
// list of the file dialog's name field) takes them, else the focused widget
// of `window`, by default the application's.
QWidget *keyboardTarget(QWidget *window = nullptr)
{
    if (QWidget *popup = QApplication::activePopupWidget())
        return popup->focusWidget() ? popup->focusWidget() : popup;
    return window ? window->focusWidget() : QApplication::focusWidget();
}

// One key to wherever the keyboard's keys go; false if nothing takes them.
bool press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QWidget *target = keyboardTarget();
    if (!target)
        return false;
    QTest::keyClick(target, key, modifiers);
    return true;
}

// Answers the next file dialog by keyboard: types `typed` (if any) into the
// dialog a key at a time, at a brisk typist's pace (the dialog follows the
// path as it is typed, with its completion list), then Enter. A dialog that is still open a moment
// later did not take the answer: it is closed and the test fails.
void answerByKeyboard(const QString &typed, QString *focusedField)
{
    answerNextFileDialog([typed, focusedField](QFileDialog *dialog) {
        if (!dialog->focusWidget()) {
            FixtureProblems::add(QStringLiteral("nothing in the file dialog has the focus"));
            dialog->reject();
            return;
        }
        *focusedField = dialog->focusWidget()->objectName();
        for (const QChar c : typed)
            QTest::keyClick(keyboardTarget(dialog), c.toLatin1(), Qt::NoModifier, 20);
        QTest::keyClick(keyboardTarget(dialog), Qt::Key_Return);
        QPointer<QFileDialog> open(dialog);
        QTimer::singleShot(3000, [open] {
            if (open && open->isVisible()) {
                FixtureProblems::add(QStringLiteral("Enter did not close the file dialog"));
                open->reject();
            }
        });
    });
}

// On a desktop the window manager gives the keyboard back to the window
// when its file dialog closes; offscreen there is none, so this does its
// part. Which widget then has the focus is the window's own business.
bool keyboardBackToWindow(QWidget *window)
{
    if (!QApplication::activeWindow())
        window->activateWindow();
    return QTest::qWaitForWindowActive(window);
}
} // namespace

void TestKeyboard::init()
{
    beginWindowTest();
    FakeProgrammer::uninstall();
}

void TestKeyboard::cleanup()
{
    endWindowTest();
    FakeProgrammer::uninstall();
}

void TestKeyboard::uploadByKeyboardAlone()
{
    FakeProgrammer fake;
    fake.print("avrdude: 12 bytes of flash verified\n");
    QVERIFY(fake.install());
    offerPorts({QStringLiteral("/dev/ttyFAKE0"), QStringLiteral("/dev/ttyFAKE1")});
    const QString path = files->filePath(QStringLiteral("keyboard.hex"));
    QFile image(path);
    QVERIFY(image.open(QIODevice::WriteOnly) && image.write(":00000001FF\n") > 0);
    image.close();

    MainWindow *w = openWindow();
    QVERIFY(QTest::qWaitForWindowActive(w));
    // The focus starts on the port list, the first control. Arrow keys pick
    // a port, which is stored as a click's choice is.
    QCOMPARE(QApplication::focusWidget(), portList());
    QVERIFY(press(Qt::Key_Down));
    QVERIFY(press(Qt::Key_Down));
    QCOMPARE(portList()->currentText(), QStringLiteral("/dev/ttyFAKE1"));
    QTRY_COMPARE(settings->storedValue(QStringLiteral("commPort")).toString(), QStringLiteral("/dev/ttyFAKE1"));

    // Tab to the button; Space opens the file dialog, where the path typed
    // into the name field and Enter open the file.
    QVERIFY(press(Qt::Key_Tab));
    QCOMPARE(QApplication::focusWidget(), button());
    QString field;
    answerByKeyboard(path, &field);
    QVERIFY(press(Qt::Key_Space));
    QCOMPARE(field, QStringLiteral("fileNameEdit"));
    QCOMPARE(waitForVerdict(), QStringLiteral("Completed!"));
    const QString dir = QCoreApplication::applicationDirPath();
    QCOMPARE(fake.received(),
        QStringList({dir + "//avrdude", "-c", "arduino", "-p", "m328p", "-C", dir + "/avrdude.conf", "-P",
            "/dev/ttyFAKE1", "-U", "flash:w:" + path + ":i"}));
    // The focus is back on the button, so the next Space uploads again (the
    // dialog offers the same file: Enter alone takes it), also after a run
    // that failed.
    QVERIFY(keyboardBackToWindow(w));
    QCOMPARE(QApplication::focusWidget(), button());
    FakeProgrammer failing;
    failing.print("avrdude: ser_open(): can't open device\n").exitWith(1);
    QVERIFY(failing.install());
    answerByKeyboard(QString(), &field);
    QVERIFY(press(Qt::Key_Space));
    QCOMPARE(waitForVerdict(), QStringLiteral("Failed"));
    QVERIFY(failing.wasStarted());
    QVERIFY(keyboardBackToWindow(w));
    QCOMPARE(QApplication::focusWidget(), button());

    // On to the check box, which shows the console, and into the console:
    // its text can be selected by keyboard, and it stays read-only.
    QVERIFY(press(Qt::Key_Tab));
    QCOMPARE(QApplication::focusWidget(), widget<QCheckBox>(w, "chkShowConsole"));
    QVERIFY(press(Qt::Key_Space));
    QVERIFY(console()->isVisible());
    QVERIFY(press(Qt::Key_Tab));
    QCOMPARE(QApplication::focusWidget(), console());
    const QString output = console()->toPlainText();
    QVERIFY(output.endsWith(QStringLiteral("can't open device\n")));
    QVERIFY(press(Qt::Key_Home, Qt::ControlModifier));
    QVERIFY(press(Qt::Key_End, Qt::ControlModifier | Qt::ShiftModifier));
    QCOMPARE(console()->textCursor().selectedText().replace(QChar::ParagraphSeparator, QLatin1Char('\n')), output);
    QVERIFY(press(Qt::Key_X));
    QVERIFY(press(Qt::Key_Delete));
    QCOMPARE(console()->toPlainText(), output);
}

QTEST_MAIN(TestKeyboard)
#include "tst_keyboard.moc"

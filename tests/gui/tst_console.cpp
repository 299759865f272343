// SPDX-License-Identifier: GPL-3.0-or-later
// The console while the programmer prints steadily: it follows the output
// only while its view is at the end, as a terminal does. A user who scrolls
// up, with the mouse wheel, the scroll bar or the keys, stays where they are
// while output keeps coming, also when the console stops wrapping its lines;
// back at the end, it follows again; and nothing of the output is lost.
#include "fakeprogrammer.h"
#include "guitest.h"

#include <QCheckBox>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>
#include <QWheelEvent>

class TestConsole : public QObject, protected WindowTest
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void mouseScrollsAwayAndBack();
    void keyboardScrollsAwayAndBack();

private:
    // A run whose programmer prints a numbered line every 10 ms until it is
    // ended, into the console shown; returns once `lines` lines are in.
    void startSteadyRun(FakeProgrammer &fake, int lines);
    int lines() const
    {
        return console()->document()->blockCount();
    }
    // The line at the top of the console's view: the one its first row of
    // pixels shows (Qt counts a point on the border of two lines to the
    // upper one: hence a pixel down).
    int topLine() const
    {
        return console()->cursorForPosition(QPoint(0, 1)).blockNumber();
    }
    QScrollBar *bar() const
    {
        return console()->verticalScrollBar();
    }
    bool atEnd() const
    {
        return bar()->maximum() > 0 && bar()->value() == bar()->maximum();
    }
    // Waits for `more` lines of output, and checks that the view stayed at
    // the line it showed at the top before.
    void keepsItsPlace(int more);
    // Waits for the console to stop wrapping its lines, and checks that the
    // view stayed at the line it showed at the top before, and stays there.
    void keepsItsPlaceAcrossUnwrapping();
    // Waits for `more` lines of output, and checks that the view followed
    // them to the end.
    void follows(int more);
    void wheel(int notches);
    // Ends the run; every line the programmer printed is in the console,
    // in order.
    void endRunAndCheckNothingLost(FakeProgrammer &fake);
};

// Runs a step of the test, which checks as it goes; after a failed check
// the test ends there.
#define STEP(call)                                                                                                     \
    do {                                                                                                               \
        call;                                                                                                          \
        if (QTest::currentTestFailed())                                                                                \
            return;                                                                                                    \
    } while (false)

namespace {
// Long enough to wrap in the console, so that it stops wrapping (past 64 KB)
// after a few hundred lines, while the test looks on.
const QByteArray steadyLine = "avrdude: line {n} " + QByteArray(150, '#') + '\n';
} // namespace

void TestConsole::init()
{
    beginWindowTest();
    FakeProgrammer::uninstall();
}

void TestConsole::cleanup()
{
    endWindowTest();
    FakeProgrammer::uninstall();
}

void TestConsole::startSteadyRun(FakeProgrammer &fake, int count)
{
    fake.printForever(steadyLine);
    QVERIFY(fake.install());
    offerPorts({QStringLiteral("/dev/ttyFAKE0")});
    settings->store(QStringLiteral("commPort"), QStringLiteral("/dev/ttyFAKE0"));
    const QString path = files->filePath(QStringLiteral("a.hex"));
    QFile image(path);
    QVERIFY(image.open(QIODevice::WriteOnly));
    image.write(":00000001FF\n");
    image.close();

    openWindow();
    clickCheckBox(widget<QCheckBox>(window.get(), "chkShowConsole"));
    QVERIFY(console()->isVisible());
    startUpload(path);
    QTRY_VERIFY_WITH_TIMEOUT(lines() > count, 60000);
    // So far it has followed the output.
    QTRY_VERIFY(atEnd());
    QCOMPARE(console()->lineWrapMode(), QTextEdit::WidgetWidth);
}

void TestConsole::keepsItsPlace(int more)
{
    const int top = topLine();
    const int target = lines() + more;
    QTRY_VERIFY_WITH_TIMEOUT(lines() > target, 60000);
    QCOMPARE(topLine(), top);
    QVERIFY(!atEnd());
}

void TestConsole::keepsItsPlaceAcrossUnwrapping()
{
    QCOMPARE(console()->lineWrapMode(), QTextEdit::WidgetWidth);
    const int top = topLine();
    QTRY_COMPARE_WITH_TIMEOUT(console()->lineWrapMode(), QTextEdit::NoWrap, 60000);
    QCOMPARE(topLine(), top);
    STEP(keepsItsPlace(20));
}

void TestConsole::follows(int more)
{
    const int target = lines() + more;
    QTRY_VERIFY_WITH_TIMEOUT(lines() > target, 60000);
    QVERIFY2(atEnd(), qPrintable(QStringLiteral("at %1 of %2").arg(bar()->value()).arg(bar()->maximum())));
    // The newest output is in view.
    QVERIFY(topLine() > target - 10);
}

void TestConsole::wheel(int notches)
{
    QWidget *viewport = console()->viewport();
    const QPoint inside(viewport->width() / 2, viewport->height() / 2);
    QWheelEvent event(inside, viewport->mapToGlobal(inside), QPoint(), QPoint(0, 120 * notches), Qt::NoButton,
        Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(viewport, &event);
}

void TestConsole::endRunAndCheckNothingLost(FakeProgrammer &fake)
{
    fake.kill();
    QCOMPARE(waitForVerdict(), QStringLiteral("Failed"));
    // The command first, then the programmer's lines, numbered 1, 2, 3...
    // without a gap, up to the last whole one.
    const QStringList text = console()->toPlainText().split(QLatin1Char('\n'));
    const QRegularExpression numbered(QStringLiteral("^avrdude: line (\\d+) #{150}$"));
    int expected = 1;
    for (const QString &line : text.mid(1)) {
        const QRegularExpressionMatch match = numbered.match(line);
        if (!match.hasMatch())
            continue;
        QCOMPARE(match.captured(1).toInt(), expected);
        ++expected;
    }
    // Past the switch to unwrapped lines, some 400 lines in.
    QVERIFY2(expected > 400, qPrintable(QStringLiteral("%1 lines").arg(expected - 1)));
}

void TestConsole::mouseScrollsAwayAndBack()
{
    FakeProgrammer fake;
    STEP(startSteadyRun(fake, 30));

    // The wheel, a few notches up: the view stays there, also once the
    // console stops wrapping its lines and lays them out anew.
    wheel(3);
    QVERIFY(!atEnd());
    STEP(keepsItsPlace(20));
    STEP(keepsItsPlaceAcrossUnwrapping());

    // The scroll bar dragged to its end: it follows again.
    bar()->triggerAction(QAbstractSlider::SliderToMaximum);
    STEP(follows(20));

    // A page up on the scroll bar, then the wheel down to the end.
    bar()->triggerAction(QAbstractSlider::SliderPageStepSub);
    STEP(keepsItsPlace(20));
    for (int turn = 0; turn < 100 && !atEnd(); ++turn)
        wheel(-1);
    STEP(follows(20));

    STEP(endRunAndCheckNothingLost(fake));
}

void TestConsole::keyboardScrollsAwayAndBack()
{
    FakeProgrammer fake;
    STEP(startSteadyRun(fake, 30));
    // The keyboard back at the window once the file dialog has closed (a
    // window manager's part, offscreen there is none), and in the console.
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    console()->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(console()->hasFocus());

    // Page Up takes the view (and the text cursor) up: both stay there.
    QTest::keyClick(console(), Qt::Key_PageUp);
    QTest::keyClick(console(), Qt::Key_PageUp);
    QVERIFY(!atEnd());
    const int cursorAt = console()->textCursor().position();
    STEP(keepsItsPlace(20));
    STEP(keepsItsPlaceAcrossUnwrapping());
    QCOMPARE(console()->textCursor().position(), cursorAt);

    // A line selected with the keys stays selected, and in view.
    QTest::keyClick(console(), Qt::Key_Down, Qt::ShiftModifier);
    const QString selected = console()->textCursor().selectedText();
    QVERIFY(!selected.isEmpty());
    STEP(keepsItsPlace(20));
    QCOMPARE(console()->textCursor().selectedText(), selected);

    // Ctrl+End: back at the end, it follows again.
    QTest::keyClick(console(), Qt::Key_End, Qt::ControlModifier);
    STEP(follows(20));

    STEP(endRunAndCheckNothingLost(fake));
}

QTEST_MAIN(TestConsole)
#include "tst_console.moc"

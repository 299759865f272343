// SPDX-License-Identifier: GPL-3.0-or-later
// The window as the user meets it before any upload: its form, its fixed
// size, the console toggle, the remembered settings and the port list.
#include "guitest.h"
#include "mainwindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QLabel>
#include <QListView>
#include <QMenuBar>
#include <QMetaMethod>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QSerialPortInfo>
#include <QStatusBar>
#include <QTextEdit>
#include <QToolBar>
#include <QVBoxLayout>

#include <memory>

class TestMainWindow : public QObject, protected WindowTest
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void formTree();
    void formLayoutAndProperties();
    void startsWithConsoleHiddenAndIconMissingIsHarmless();
    void iconFromWorkingDirectory();
    void fixedSizeWhateverTheConsole();
    void consoleToggle_data();
    void consoleToggle();
    void slotOrder();

    void settingsLandInOwnStoreAndSurvive();
    void portListFollowsEnumeration();
    void rememberedPortRestored();
    void choosingPortStoresIt();

    void executableIgnoresExtraArguments();
};

void TestMainWindow::init()
{
    beginWindowTest();
}

void TestMainWindow::cleanup()
{
    endWindowTest();
}

void TestMainWindow::formTree()
{
    MainWindow *w = openWindow();
    QCOMPARE(w->objectName(), QStringLiteral("MainWindow"));

    auto *central = widget<QWidget>(w, "centralWidget");
    auto *layoutWidget = widget<QWidget>(w, "layoutWidget");
    auto *txt = widget<QTextEdit>(w, "txtOutput");
    auto *status = widget<QStatusBar>(w, "statusBar");
    QVERIFY(central && layoutWidget && txt && status);
    QCOMPARE(w->centralWidget(), central);
    QCOMPARE(central->parent(), w);
    QCOMPARE(layoutWidget->parent(), central);
    QCOMPARE(txt->parent(), central);
    QCOMPARE(w->statusBar(), status);
    QCOMPARE(status->parent(), w);
    QVERIFY(status->currentMessage().isEmpty());

    auto *layout = layoutWidget->findChild<QVBoxLayout *>(QStringLiteral("verticalLayout"));
    QVERIFY(layout);
    QCOMPARE(layoutWidget->layout(), layout);

    // Top to bottom: port list, button, label, check box; each a child of
    // the layout's widget.
    const QList<QWidget *> expected {widget<QComboBox>(w, "cboCommPort"), widget<QPushButton>(w, "btnUploadFlash"),
        widget<QLabel>(w, "lblOutput"), widget<QCheckBox>(w, "chkShowConsole")};
    QCOMPARE(layout->count(), 4);
    for (int i = 0; i < 4; ++i) {
        QVERIFY(expected[i]);
        QCOMPARE(layout->itemAt(i)->widget(), expected[i]);
        QCOMPARE(expected[i]->parent(), layoutWidget);
        QCOMPARE(layout->stretch(i), 0);
        QCOMPARE(layout->itemAt(i)->alignment(), Qt::Alignment());
    }

    QCOMPARE(w->windowTitle(), QStringLiteral("Kiverlo"));
    QCOMPARE(widget<QPushButton>(w, "btnUploadFlash")->text(), QStringLiteral("Upload..."));
    QCOMPARE(widget<QLabel>(w, "lblOutput")->text(),
        QStringLiteral("1) Select Comm Port 2) Click Upload... 3) Select .hex file"));
    QCOMPARE(widget<QCheckBox>(w, "chkShowConsole")->text(), QStringLiteral("Show Console"));

    // No menu bar, no tool bar.
    QVERIFY(!w->menuWidget());
    QVERIFY(!w->findChild<QMenuBar *>());
    QVERIFY(!w->findChild<QToolBar *>());
}

void TestMainWindow::formLayoutAndProperties()
{
    MainWindow *w = openWindow();
    QCOMPARE(widget<QWidget>(w, "layoutWidget")->geometry(), QRect(10, 10, 261, 121));
    QCOMPARE(widget<QWidget>(w, "layoutWidget")->geometry().bottomRight(), QPoint(270, 130));
    QCOMPARE(widget<QTextEdit>(w, "txtOutput")->geometry(), QRect(10, 140, 261, 71));

    auto *layout = w->findChild<QVBoxLayout *>(QStringLiteral("verticalLayout"));
    QCOMPARE(layout->spacing(), 6);
    QCOMPARE(layout->contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(layout->sizeConstraint(), QLayout::SetDefaultConstraint);

    QVERIFY(widget<QLabel>(w, "lblOutput")->wordWrap());
    auto *txt = widget<QTextEdit>(w, "txtOutput");
    QVERIFY(txt->isReadOnly());
    QCOMPARE(txt->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QVERIFY(txt->toPlainText().isEmpty());
}

void TestMainWindow::startsWithConsoleHiddenAndIconMissingIsHarmless()
{
    // The test runs in a folder without the icon file: the window still
    // opens, with an icon that has no images of its own.
    QVERIFY(!QFile::exists(QStringLiteral("my_app.icns")));
    MainWindow *w = openWindow();
    QVERIFY(w->isVisible());
    QVERIFY(w->windowIcon().availableSizes().isEmpty());
    QVERIFY(!widget<QTextEdit>(w, "txtOutput")->isVisible());
    QVERIFY(widget<QTextEdit>(w, "txtOutput")->isHidden());
    QCOMPARE(widget<QCheckBox>(w, "chkShowConsole")->checkState(), Qt::Unchecked);
    QVERIFY(widget<QPushButton>(w, "btnUploadFlash")->isEnabled());
    QVERIFY(widget<QComboBox>(w, "cboCommPort")->isEnabled());
}

void TestMainWindow::iconFromWorkingDirectory()
{
    // Started where "my_app.icns" stands, the window carries its images.
    QTemporaryDir folder;
    QVERIFY(QFile::copy(QStringLiteral(KIVERLO_WINDOW_ICON), folder.filePath(QStringLiteral("my_app.icns"))));
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(folder.path()));
    MainWindow *w = openWindow();
    QDir::setCurrent(before);
    const QList<QSize> sizes = w->windowIcon().availableSizes();
    QVERIFY2(sizes.size() > 1, "needs Qt's icns image format plugin");
    QVERIFY(!w->windowIcon().pixmap(32, 32).isNull());
}

void TestMainWindow::fixedSizeWhateverTheConsole()
{
    MainWindow *w = openWindow();
    const QSize fixed(284, 242);
    QCOMPARE(w->size(), fixed);
    QCOMPARE(w->minimumSize(), fixed);
    QCOMPARE(w->maximumSize(), fixed);

    w->resize(600, 500);
    QCOMPARE(w->size(), fixed);

    auto *box = widget<QCheckBox>(w, "chkShowConsole");
    clickCheckBox(box);
    QVERIFY(widget<QTextEdit>(w, "txtOutput")->isVisible());
    QCOMPARE(w->size(), fixed);
    clickCheckBox(box);
    QVERIFY(!widget<QTextEdit>(w, "txtOutput")->isVisible());
    QCOMPARE(w->size(), fixed);
    // The controls stay where they were; the area below simply empties.
    QCOMPARE(widget<QWidget>(w, "layoutWidget")->geometry(), QRect(10, 10, 261, 121));
}

void TestMainWindow::consoleToggle_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("visible");
    QTest::newRow("unchecked") << int(Qt::Unchecked) << false;
    QTest::newRow("partially checked") << int(Qt::PartiallyChecked) << false;
    QTest::newRow("checked") << int(Qt::Checked) << true;
}

void TestMainWindow::consoleToggle()
{
    QFETCH(int, state);
    QFETCH(bool, visible);
    MainWindow *w = openWindow();
    auto *box = widget<QCheckBox>(w, "chkShowConsole");
    auto *txt = widget<QTextEdit>(w, "txtOutput");
    box->setTristate(true);
    // Start from the opposite state so the change is really signalled.
    box->setCheckState(visible ? Qt::Unchecked : Qt::Checked);
    QCOMPARE(txt->isVisible(), !visible);
    box->setCheckState(Qt::CheckState(state));
    QCOMPARE(txt->isVisible(), visible);
    QCOMPARE(w->size(), QSize(284, 242));
}

void TestMainWindow::slotOrder()
{
    const QMetaObject &meta = MainWindow::staticMetaObject;
    QCOMPARE(meta.className(), "MainWindow");
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 5);
    const QList<QByteArray> expected {"on_btnUploadFlash_clicked()", "avrOutput()",
        "avrFinished(int,QProcess::ExitStatus)", "on_chkShowConsole_stateChanged(int)",
        "on_cboCommPort_activated(int)"};
    for (int i = 0; i < expected.size(); ++i) {
        const QMetaMethod method = meta.method(meta.methodOffset() + i);
        QCOMPARE(method.methodSignature(), expected[i]);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
    }
    MainWindow *w = openWindow();
    QCOMPARE(w->qt_metacast("MainWindow"), static_cast<void *>(w));
    QVERIFY(!w->qt_metacast(nullptr));
    QVERIFY(w->qt_metacast("QMainWindow"));
}

void TestMainWindow::settingsLandInOwnStoreAndSurvive()
{
    const QString port = QStringLiteral("/dev/ttyUSB0");
    offerPorts({port, QStringLiteral("/dev/ttyS0")});
    MainWindow *w = openWindow();
    auto *combo = widget<QComboBox>(w, "cboCommPort");
    // Absent keys read as empty: nothing is current, and nothing was written.
    QCOMPARE(combo->currentIndex(), -1);
    QVERIFY(combo->currentText().isEmpty());
    QVERIFY(settings->storedValue(QStringLiteral("commPort")).isNull());

    combo->setFocus();
    QTest::keyClick(combo, Qt::Key_Down);
    QCOMPARE(combo->currentText(), port);

    window.reset(); // closing the window writes the store out
    QCOMPARE(settings->storedValue(QStringLiteral("commPort")).toString(), port);
    QVERIFY(settings->storedValue(QStringLiteral("filename")).isNull());

    w = openWindow();
    QCOMPARE(widget<QComboBox>(w, "cboCommPort")->currentText(), port);
}

void TestMainWindow::portListFollowsEnumeration()
{
    // The serial-port library's own list, in its order, as this machine has
    // it (it may well have none).
    QStringList expected;
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports)
        expected << port.systemLocation();
    QCOMPARE(PortList::systemLocations(), expected);

    // Whatever the enumeration gives is listed as it comes: not sorted, not
    // filtered, no icons, no data, duplicates kept.
    const QStringList offered {QStringLiteral("/dev/ttyUSB1"), QStringLiteral("\\\\.\\COM5"),
        QStringLiteral("/dev/ttyACM0"), QStringLiteral("/dev/ttyUSB1"), QStringLiteral("/dev/tty Ü")};
    offerPorts(offered);
    MainWindow *w = openWindow();
    auto *combo = widget<QComboBox>(w, "cboCommPort");
    QStringList listed;
    for (int i = 0; i < combo->count(); ++i) {
        listed << combo->itemText(i);
        QVERIFY(combo->itemIcon(i).isNull());
        QVERIFY(!combo->itemData(i).isValid());
    }
    QCOMPARE(listed, offered);
    QCOMPARE(combo->currentIndex(), -1);
    window.reset();

    // No ports at all: an empty list with nothing current.
    offerPorts({});
    w = openWindow();
    QCOMPARE(widget<QComboBox>(w, "cboCommPort")->count(), 0);
    QCOMPARE(widget<QComboBox>(w, "cboCommPort")->currentIndex(), -1);
}

void TestMainWindow::rememberedPortRestored()
{
    const QStringList ports {QStringLiteral("/dev/ttyS0"), QStringLiteral("/dev/ttyUSB0"),
        QStringLiteral("/dev/ttyusb0"), QStringLiteral("/dev/ttyACM0")};
    offerPorts(ports);
    // The remembered port is current, found by its exact text, and nothing
    // is written for it.
    for (int index : {1, 2, 3}) {
        settings->storeByHand(QStringLiteral("commPort"), ports[index]);
        MainWindow *w = openWindow();
        QCOMPARE(widget<QComboBox>(w, "cboCommPort")->currentIndex(), index);
        QCOMPARE(widget<QComboBox>(w, "cboCommPort")->currentText(), ports[index]);
        window.reset();
        QVERIFY(settings->leftAsStoredByHand());
    }

    // Letter case counts; a port no longer listed leaves nothing current and
    // the remembered value untouched.
    for (const QString &other : {QStringLiteral("/DEV/TTYS0"), QStringLiteral("/dev/ttyACM"),
             QStringLiteral("/dev/ttyACM0 "), QStringLiteral("COM99")}) {
        settings->store(QStringLiteral("commPort"), other);
        MainWindow *w = openWindow();
        QCOMPARE(widget<QComboBox>(w, "cboCommPort")->currentIndex(), -1);
        QVERIFY(widget<QComboBox>(w, "cboCommPort")->currentText().isEmpty());
        window.reset();
        QCOMPARE(settings->storedValue(QStringLiteral("commPort")).toString(), other);
    }
}

void TestMainWindow::choosingPortStoresIt()
{
    const QStringList ports {QStringLiteral("/dev/ttyS0"), QStringLiteral("/dev/ttyUSB0")};
    offerPorts(ports);
    settings->store(QStringLiteral("commPort"), ports[1]);
    MainWindow *w = openWindow();
    auto *combo = widget<QComboBox>(w, "cboCommPort");
    QCOMPARE(combo->currentIndex(), 1);

    // Overwrite the stored value behind the window's back, then re-choose
    // the current item from the popup: choosing it again stores it again.
    settings->store(QStringLiteral("commPort"), QStringLiteral("something else"));
    combo->showPopup();
    QTRY_VERIFY(combo->view()->isVisible());
    QTest::keyClick(combo->view(), Qt::Key_Return);
    QTRY_VERIFY(!combo->view()->isVisible());
    QCOMPARE(combo->currentIndex(), 1);
    QSettings reader(QStringLiteral("Trunoma"), QStringLiteral("Kiverlo"));
    QCOMPARE(reader.value(QStringLiteral("commPort")).toString(), ports[1]);

    // Choosing another one from the popup stores that one.
    combo->showPopup();
    QTRY_VERIFY(combo->view()->isVisible());
    QTest::keyClick(combo->view(), Qt::Key_Up);
    QTest::keyClick(combo->view(), Qt::Key_Return);
    QTRY_VERIFY(!combo->view()->isVisible());
    QCOMPARE(combo->currentIndex(), 0);
    reader.sync();
    QCOMPARE(reader.value(QStringLiteral("commPort")).toString(), ports[0]);

    // Choosing changes nothing else.
    QCOMPARE(widget<QLabel>(w, "lblOutput")->text(),
        QStringLiteral("1) Select Comm Port 2) Click Upload... 3) Select .hex file"));
    QVERIFY(reader.value(QStringLiteral("filename")).isNull());
}

void TestMainWindow::executableIgnoresExtraArguments()
{
    // The real executable, given arguments of no meaning to it, starts like
    // one given none: its window comes up and stays, and it writes nothing.
    // Qt tells when it paints the window; the first time is the window up,
    // with its event loop running.
    QTemporaryDir home;
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("qt.widgets.painting=true"));
    env.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("HOME"), home.path());
    tool.setProcessEnvironment(env);
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.setWorkingDirectory(home.path());
    tool.start(QStringLiteral(KIVERLO_EXECUTABLE), {"--upload", "file.hex", "-P", "/dev/null", "x y"});
    QVERIFY(tool.waitForStarted());
    const auto reap = qScopeGuard([&tool] {
        tool.kill();
        tool.waitForFinished();
    });
    QByteArray output;
    const auto painted = [&tool, &output] {
        output += tool.readAll();
        return output.contains("Painting and flushing");
    };
    QTRY_VERIFY_WITH_TIMEOUT(painted() || tool.state() == QProcess::NotRunning, 30000);
    QVERIFY2(painted(), output.constData());
    QCOMPARE(tool.state(), QProcess::Running);
    // A setting stored at start is written at the event loop's first turn,
    // before the window is painted.
#ifdef Q_OS_WIN
    QVERIFY(QSettings(IsolatedSettings::storeKey(), QSettings::NativeFormat).allKeys().isEmpty());
#else
    QVERIFY(!QFileInfo::exists(home.filePath(QStringLiteral("config/Trunoma"))));
#endif
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"

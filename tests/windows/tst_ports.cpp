// SPDX-License-Identifier: GPL-3.0-or-later
// The port list with the serial ports Windows itself enumerates, no list of
// the test's own: under Wine these are the ports registered in the test
// prefix under HKLM\Software\Wine\Ports (tests/windows/wine-run.sh names them
// in KIVERLO_WINE_PORTS), besides any the machine has. The remembered port
// lives in the registry.
#include "guitest.h"
#include "mainwindow.h"
#include "portlist.h"

#include <QComboBox>
#include <QSerialPortInfo>

class TestWindowsPorts : public QObject, protected WindowTest
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void registeredPortsAreEnumerated();
    void listIsTheLibrarysInItsOrder();
    void rememberedPortRestored();
    void chosenPortStoredInRegistry();

private:
    // The registered ports' system locations, such as \\.\COM5.
    static QStringList registered();
    static QStringList enumerated();
};

void TestWindowsPorts::init()
{
    beginWindowTest();
}

void TestWindowsPorts::cleanup()
{
    endWindowTest();
}

QStringList TestWindowsPorts::registered()
{
    QStringList locations;
    const QStringList pairs = qEnvironmentVariable("KIVERLO_WINE_PORTS").split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString &pair : pairs)
        locations << QStringLiteral("\\\\.\\") + pair.section(QLatin1Char('='), 0, 0);
    return locations;
}

QStringList TestWindowsPorts::enumerated()
{
    QStringList locations;
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports)
        locations << port.systemLocation();
    return locations;
}

void TestWindowsPorts::registeredPortsAreEnumerated()
{
    const QStringList expected = registered();
    QVERIFY2(expected.size() >= 2, "wine-run.sh registers two ports or more");
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QString &location : expected) {
        const auto found = std::find_if(
            ports.begin(), ports.end(), [&](const QSerialPortInfo &port) { return port.systemLocation() == location; });
        QVERIFY2(found != ports.end(), qPrintable(location + QStringLiteral(" is not enumerated")));
        QCOMPARE(QStringLiteral("\\\\.\\") + found->portName(), location);
    }
}

void TestWindowsPorts::listIsTheLibrarysInItsOrder()
{
    const QStringList expected = enumerated();
    qInfo("enumerated: %s", qPrintable(expected.join(QLatin1Char(' '))));
    QCOMPARE(PortList::systemLocations(), expected);
    MainWindow *w = openWindow();
    auto *combo = widget<QComboBox>(w, "cboCommPort");
    QStringList listed;
    for (int i = 0; i < combo->count(); ++i)
        listed << combo->itemText(i);
    QCOMPARE(listed, expected);
    // Nothing remembered: nothing current.
    QCOMPARE(combo->currentIndex(), -1);
}

void TestWindowsPorts::rememberedPortRestored()
{
    const QStringList listed = enumerated();
    for (const QString &port : registered()) {
        settings->storeByHand(QStringLiteral("commPort"), port);
        MainWindow *w = openWindow();
        QCOMPARE(widget<QComboBox>(w, "cboCommPort")->currentText(), port);
        QCOMPARE(widget<QComboBox>(w, "cboCommPort")->currentIndex(), listed.indexOf(port));
        window.reset();
        // Restoring writes nothing.
        QVERIFY(settings->leftAsStoredByHand());
    }
    // Windows' own names are not case-sensitive, the list is.
    const QString lower = registered().first().toLower();
    settings->store(QStringLiteral("commPort"), lower);
    MainWindow *w = openWindow();
    QCOMPARE(widget<QComboBox>(w, "cboCommPort")->currentIndex(), -1);
    window.reset();
    QCOMPARE(settings->storedValue(QStringLiteral("commPort")).toString(), lower);
}

void TestWindowsPorts::chosenPortStoredInRegistry()
{
    const QStringList listed = enumerated();
    const QString port = registered().last();
    const int index = listed.indexOf(port);
    QVERIFY(index >= 0);
    MainWindow *w = openWindow();
    auto *combo = widget<QComboBox>(w, "cboCommPort");
    QVERIFY(settings->storedValue(QStringLiteral("commPort")).isNull());

    // Chosen from the popup, as a user does.
    combo->showPopup();
    QTRY_VERIFY(combo->view()->isVisible());
    combo->view()->setCurrentIndex(combo->model()->index(index, 0));
    QTest::keyClick(combo->view(), Qt::Key_Return);
    QTRY_VERIFY(!combo->view()->isVisible());
    QCOMPARE(combo->currentIndex(), index);
    // In the registry at once, as a separate reader sees it.
    QCOMPARE(settings->storedValue(QStringLiteral("commPort")).toString(), port);
    QVERIFY(settings->storedValue(QStringLiteral("filename")).isNull());

    // The next start finds it current again.
    window.reset();
    w = openWindow();
    QCOMPARE(widget<QComboBox>(w, "cboCommPort")->currentText(), port);
}

QTEST_MAIN(TestWindowsPorts)
#include "tst_ports.moc"

// SPDX-License-Identifier: GPL-3.0-or-later
// The window's accessible tree as Qt hands it to the platform's bridge to
// assistive technology (UI Automation on Windows, AT-SPI on Linux): the
// interface of the window's native window, walked from its root as a screen
// reader walks it. Every control is found by its role and name, with the
// focus and the states a screen reader reports; Tab moves the focus the
// bridge reports through the controls in order; the controls are worked
// through their accessible actions; and the label's name becomes the verdict
// of an upload, told as a change of its name.
//
// On Windows it runs on Qt's Windows platform (under Wine, on a virtual
// display: tests/windows/accessible-check.sh), where the window has a native
// window that answers UI Automation's request for its tree, and the test
// makes that request itself. Elsewhere it runs on any platform.
#include "fakeprogrammer.h"
#include "guitest.h"

#include <QAccessible>
#include <QCheckBox>
#include <QTextEdit>
#include <QWindow>

class TestAccessibleTree : public QObject, protected WindowTest
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void treeFocusAndVerdict();
};

namespace {
// What Qt hands the platform's bridge as events: the kinds a screen reader
// follows here, each with the name its source had when it was told.
struct Told
{
    QAccessible::Event type;
    QAccessibleInterface *source;
    QString name;
};
QList<Told> &told()
{
    static QList<Told> events;
    return events;
}
void recordEvent(QAccessibleEvent *event)
{
    if (event->type() != QAccessible::NameChanged && event->type() != QAccessible::Focus)
        return;
    Told entry;
    entry.type = event->type();
    entry.source = event->accessibleInterface();
    entry.name = entry.source ? entry.source->text(QAccessible::Name) : QString();
    told() << entry;
}

// Every interface below `node`, depth first, as a screen reader's walk
// meets them.
QList<QAccessibleInterface *> descendants(QAccessibleInterface *node)
{
    QList<QAccessibleInterface *> found;
    for (int i = 0; i < node->childCount(); ++i) {
        if (QAccessibleInterface *child = node->child(i)) {
            found << child;
            found << descendants(child);
        }
    }
    return found;
}

QString describe(QAccessibleInterface *node)
{
    if (!node)
        return QStringLiteral("nothing");
    const QObject *object = node->object();
    return QStringLiteral("role 0x%1 named \"%2\" (%3)")
        .arg(int(node->role()), 0, 16)
        .arg(node->text(QAccessible::Name),
            object ? QString::fromLatin1(object->metaObject()->className()) + QLatin1Char(' ') + object->objectName()
                   : QStringLiteral("no object"));
}

QString dump(QAccessibleInterface *root)
{
    QString text = describe(root);
    for (QAccessibleInterface *node : descendants(root))
        text += QStringLiteral("\n  ") + describe(node);
    return text;
}

// The one interface of this role and name in the tree below `root`; none,
// or several a screen reader could not tell apart, is a fault.
QAccessibleInterface *theOne(QAccessibleInterface *root, QAccessible::Role role, const QString &name)
{
    QList<QAccessibleInterface *> matches;
    for (QAccessibleInterface *node : descendants(root)) {
        if (node->role() == role && node->text(QAccessible::Name) == name)
            matches << node;
    }
    if (matches.size() != 1) {
        qWarning("%d interfaces of role 0x%x named \"%s\" in the tree:\n%s", int(matches.size()), int(role),
            qPrintable(name), qPrintable(dump(root)));
        return nullptr;
    }
    return matches.first();
}

// Works a control as a screen reader's "activate" or "toggle" does.
bool act(QAccessibleInterface *node, const QString &action)
{
    QAccessibleActionInterface *actions = node ? node->actionInterface() : nullptr;
    if (!actions || !actions->actionNames().contains(action))
        return false;
    actions->doAction(action);
    return true;
}

bool toldFocus(QAccessibleInterface *node)
{
    for (const Told &event : told()) {
        if (event.type == QAccessible::Focus && event.source == node)
            return true;
    }
    return false;
}

// Presses Tab where the keyboard's keys go; what is wrong if the focus the
// bridge reports did not move on to `next` (or, where the bridge is told of
// changes, if it was not told).
QString tabTo(QAccessibleInterface *root, QAccessibleInterface *next, bool tellsPlatform)
{
    QWidget *target = QApplication::focusWidget();
    if (!target)
        return QStringLiteral("nothing has the keyboard's focus");
    told().clear();
    QTest::keyClick(target, Qt::Key_Tab);
    QAccessibleInterface *focus = root->focusChild();
    if (focus != next)
        return QStringLiteral("Tab went to %1, not to %2").arg(describe(focus), describe(next));
    if (!next->state().focused)
        return describe(next) + QStringLiteral(" is not in the focused state");
    if (tellsPlatform && !toldFocus(next))
        return QStringLiteral("the focus on %1 was not told").arg(describe(next));
    return QString();
}

bool toldName(QAccessibleInterface *node, const QString &name)
{
    for (const Told &event : told()) {
        if (event.type == QAccessible::NameChanged && event.source == node && event.name == name)
            return true;
    }
    return false;
}
} // namespace

void TestAccessibleTree::initTestCase()
{
    // Windows' own file dialog is Windows' business; the test answers Qt's.
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
}

void TestAccessibleTree::init()
{
    beginWindowTest();
    FakeProgrammer::uninstall();
    told().clear();
}

void TestAccessibleTree::cleanup()
{
    QAccessible::installUpdateHandler(nullptr);
    endWindowTest();
    FakeProgrammer::uninstall();
}

void TestAccessibleTree::treeFocusAndVerdict()
{
    FakeProgrammer fake;
    fake.print("avrdude: writing flash (12 bytes)\n").waitFor("verify").print("avrdude: 12 bytes of flash verified\n");
    QVERIFY(fake.install());
    offerPorts({QStringLiteral("COM5"), QStringLiteral("COM12")});
    const QString path = files->filePath(QStringLiteral("tree.hex"));
    QFile image(path);
    QVERIFY(image.open(QIODevice::WriteOnly) && image.write(":00000001FF\n") > 0);
    image.close();

    MainWindow *w = openWindow();
    QVERIFY(QTest::qWaitForWindowActive(w));
    QWindow *native = w->windowHandle();
    QVERIFY(native);

    // Qt tells the platform's bridge of changes (a new name, the focus
    // moved) once the bridge has switched its accessibility on, which it does
    // when assistive technology first asks; from then on the test takes
    // those events where the bridge would.
    QAccessible::installUpdateHandler(recordEvent);
#ifdef Q_OS_WIN
    // On Windows that is UI Automation's request for the window's root
    // element, sent to the window itself; Qt's bridge answers it with the
    // provider of the window's tree. Offscreen there is no native window to
    // ask, so this test needs the Windows platform.
    const QString platform = QGuiApplication::platformName();
    const QString wrongPlatform = QStringLiteral("runs on Qt's Windows platform (QT_QPA_PLATFORM=windows), not on "
                                                 "\"%1\", which hands UI Automation nothing");
    QVERIFY2(platform == QLatin1String("windows"), qPrintable(wrongPlatform.arg(platform)));
    const LPARAM uiaRootObjectId = -25; // UiaRootObjectId
    const LRESULT answer = SendMessageW(reinterpret_cast<HWND>(native->winId()), WM_GETOBJECT, 0, uiaRootObjectId);
    QVERIFY2(answer != 0, "the window gives UI Automation no element for its tree");
    QVERIFY2(QAccessible::isActive(), "asked by UI Automation, Qt does not switch its accessibility on");
#endif
    // Offscreen there is no bridge to switch it on, and Qt tells nothing:
    // there the tree alone is checked (tests/accessibility/ checks the events
    // on Linux's real accessibility bus).
    const bool tellsPlatform = QAccessible::isActive();

    // The root the platform's bridge takes is the window's own interface,
    // as QAccessible::queryAccessibleInterface gives it.
    QAccessibleInterface *root = native->accessibleRoot();
    QVERIFY(root);
    QCOMPARE(root, QAccessible::queryAccessibleInterface(w));
    QCOMPARE(root->role(), QAccessible::Window);
    QCOMPARE(root->text(QAccessible::Name), QStringLiteral("Kiverlo"));

    // Each control, once, by the role and the name a screen reader gives it.
    QAccessibleInterface *ports = theOne(root, QAccessible::ComboBox, QStringLiteral("Serial port"));
    QAccessibleInterface *upload = theOne(root, QAccessible::Button, QStringLiteral("Upload..."));
    QAccessibleInterface *showConsole = theOne(root, QAccessible::CheckBox, QStringLiteral("Show Console"));
    QAccessibleInterface *console = theOne(root, QAccessible::EditableText, QStringLiteral("Console"));
    QAccessibleInterface *outcome = theOne(root, QAccessible::StaticText, label()->text());
    QVERIFY(ports && upload && showConsole && console && outcome);
    QVERIFY(label()->text().startsWith(QStringLiteral("1) Select Comm Port")));
    QCOMPARE(ports->object(), portList());
    QCOMPARE(upload->object(), button());
    QCOMPARE(showConsole->object(), widget<QCheckBox>(w, "chkShowConsole"));
    QCOMPARE(console->object(), this->console());
    QCOMPARE(outcome->object(), label());
    for (QAccessibleInterface *described : {ports, console, outcome})
        QVERIFY2(!described->text(QAccessible::Description).isEmpty(), qPrintable(describe(described)));

    // What takes input can take the focus; the label cannot. The console is
    // read only, and hidden until it is asked for.
    for (QAccessibleInterface *control : {ports, upload, showConsole, console})
        QVERIFY2(control->state().focusable, qPrintable(describe(control) + QStringLiteral(" is not focusable")));
    QVERIFY(!outcome->state().focusable);
    QVERIFY(console->state().readOnly);
    QVERIFY(console->state().invisible);
    QVERIFY(!showConsole->state().checked);
    // Nothing a keyboard user can land on is without a name.
    for (QAccessibleInterface *node : descendants(root)) {
        if (node->state().focusable && !node->state().invisible)
            QVERIFY2(!node->text(QAccessible::Name).isEmpty(), qPrintable(describe(node) + " has no name"));
    }

    // Tab order, as the bridge reports the focus: the port list first, the
    // button, the check box, and round again; the hidden console is passed.
    QCOMPARE(root->focusChild(), ports);
    for (QAccessibleInterface *next : {upload, showConsole, ports}) {
        const QString problem = tabTo(root, next, tellsPlatform);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }

    // Ticked through its toggle action, the box shows the console, which
    // then comes last in the Tab order.
    QVERIFY(act(showConsole, QAccessibleActionInterface::toggleAction()));
    QTRY_VERIFY(showConsole->state().checked);
    QTRY_VERIFY(!console->state().invisible);
    for (QAccessibleInterface *next : {upload, showConsole, console, ports, upload}) {
        const QString problem = tabTo(root, next, tellsPlatform);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }

    // An upload, started through the button's press action as a screen
    // reader's "activate" starts it. While it runs the label reads so and
    // the controls that would start another are unavailable; then the label
    // is called by the verdict, and that change is told.
    answerNextFileDialog([path](QFileDialog *dialog) { choose(dialog, path); });
    told().clear();
    QVERIFY(act(upload, QAccessibleActionInterface::pressAction()));
    QTRY_VERIFY_WITH_TIMEOUT(fake.wasStarted(), 20000);
    QTRY_COMPARE(outcome->text(QAccessible::Name), QStringLiteral("Programming. Please wait..."));
    QVERIFY(!tellsPlatform || toldName(outcome, QStringLiteral("Programming. Please wait...")));
    QVERIFY(upload->state().disabled);
    QVERIFY(ports->state().disabled);
    fake.release(QStringLiteral("verify"));
    QTRY_COMPARE_WITH_TIMEOUT(outcome->text(QAccessible::Name), QStringLiteral("Completed!"), 20000);
    QVERIFY2(!tellsPlatform || toldName(outcome, QStringLiteral("Completed!")),
        "the verdict was not told as the label's new name");
    QVERIFY(!upload->state().disabled);
    QVERIFY(!ports->state().disabled);
    // The same controls still, under the same names: nothing took the
    // label's text for its own.
    QCOMPARE(theOne(root, QAccessible::StaticText, QStringLiteral("Completed!")), outcome);
    QCOMPARE(theOne(root, QAccessible::ComboBox, QStringLiteral("Serial port")), ports);
    QCOMPARE(theOne(root, QAccessible::Button, QStringLiteral("Upload...")), upload);
    // The focus is back on the button, and the console's text, which a
    // screen reader reads through its text interface, holds the output.
    QCOMPARE(root->focusChild(), upload);
    QAccessibleTextInterface *consoleText = console->textInterface();
    QVERIFY(consoleText);
    QVERIFY(consoleText->text(0, consoleText->characterCount()).contains(QStringLiteral("12 bytes of flash verified")));
}

QTEST_MAIN(TestAccessibleTree)
#include "tst_accessibletree.moc"

// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers for tests that drive the real window: a settings store of their
// own, widgets by object name, and answers to the modal file dialog.
#ifndef KIVERLO_GUITEST_H
#define KIVERLO_GUITEST_H

#include "mainwindow.h"
#include "portlist.h"
#include "runclock.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QLabel>
#include <QListView>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>
#include <QWidget>

#include <functional>
#include <memory>

#ifdef Q_OS_WIN
#include <windows.h>

// On Windows the tool's store is the registry key
// HKEY_CURRENT_USER\Software\Trunoma\Kiverlo, which QSettings::setPath
// cannot move elsewhere. So the window's tests run there only under Wine, in
// the throwaway prefix inside the build tree that tests/windows/wine-run.sh
// gives them, and refuse to start anywhere else. The organisation's key is
// emptied before and after each test.
class IsolatedSettings
{
public:
    IsolatedSettings()
    {
        const bool underWine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
        if (!underWine || qEnvironmentVariableIsEmpty("KIVERLO_THROWAWAY_PREFIX"))
            qFatal("These tests rewrite HKEY_CURRENT_USER\\Software\\Trunoma: they run only under Wine, "
                   "in a throwaway prefix (started through wine-run.sh)");
        clear();
    }
    ~IsolatedSettings()
    {
        clear();
    }
    // Where the tool's store lands on this platform.
    static QString storeKey()
    {
        return QStringLiteral("HKEY_CURRENT_USER\\Software\\Trunoma\\Kiverlo");
    }
    // Reads the store as a separate reader would, straight from the registry.
    QVariant storedValue(const QString &key) const
    {
        QSettings reader(storeKey(), QSettings::NativeFormat);
        return reader.value(key);
    }
    // Stores a string as the store itself never would: as an expandable
    // string, which it reads like any other but rewrites as a plain one.
    // leftAsStoredByHand() then tells whether anything rewrote it.
    void storeByHand(const QString &key, const QString &value) const
    {
        HKEY handle = nullptr;
        if (RegCreateKeyExW(
                HKEY_CURRENT_USER, L"Software\\Trunoma\\Kiverlo", 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr)
            != ERROR_SUCCESS)
            qFatal("cannot create the store's key");
        const std::wstring name = key.toStdWString();
        const std::wstring data = value.toStdWString();
        RegSetValueExW(handle, name.c_str(), 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE *>(data.c_str()),
            DWORD((data.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(handle);
        byHand = key;
    }
    bool leftAsStoredByHand() const
    {
        DWORD type = 0;
        const std::wstring name = byHand.toStdWString();
        return RegGetValueW(HKEY_CURRENT_USER, L"Software\\Trunoma\\Kiverlo", name.c_str(), RRF_RT_ANY | RRF_NOEXPAND,
                   &type, nullptr, nullptr)
            == ERROR_SUCCESS
            && type == REG_EXPAND_SZ;
    }
    void store(const QString &key, const QVariant &value) const
    {
        QSettings writer(QStringLiteral("Trunoma"), QStringLiteral("Kiverlo"));
        writer.setValue(key, value);
    }

private:
    mutable QString byHand;
    static void clear()
    {
        QSettings organisation(QStringLiteral("HKEY_CURRENT_USER\\Software\\Trunoma"), QSettings::NativeFormat);
        organisation.remove(QString());
        organisation.sync();
        if (!organisation.allKeys().isEmpty())
            qFatal("cannot empty HKEY_CURRENT_USER\\Software\\Trunoma for the test");
    }
};
#else
// Points every settings scope at a fresh temporary folder for as long as it
// lives, so no test ever reads or writes the user's real settings.
class IsolatedSettings
{
public:
    IsolatedSettings()
    {
        for (QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat}) {
            QSettings::setPath(format, QSettings::UserScope, userDir());
            QSettings::setPath(format, QSettings::SystemScope, folder.filePath(QStringLiteral("system")));
        }
    }
    QString userDir() const
    {
        return folder.filePath(QStringLiteral("user"));
    }
    // The file the tool's store lands in on this platform.
    QString storeFile() const
    {
        return userDir() + QStringLiteral("/Trunoma/Kiverlo.conf");
    }
    // Reads the store as a separate reader would, straight from its file.
    QVariant storedValue(const QString &key) const
    {
        QSettings reader(storeFile(), QSettings::IniFormat);
        return reader.value(key);
    }
    // Writes the store's file by hand, laid out as the store itself never
    // would (a comment, blanks around "="); leftAsStoredByHand() then tells
    // whether anything rewrote it, even with the same values.
    void storeByHand(const QString &key, const QString &value)
    {
        byHand = "; written by hand\n[General]\n" + key.toUtf8() + " = " + value.toUtf8() + "\n";
        QDir().mkpath(QFileInfo(storeFile()).absolutePath());
        QFile file(storeFile());
        if (!file.open(QIODevice::WriteOnly) || file.write(byHand) != byHand.size())
            qFatal("cannot write %s", qPrintable(storeFile()));
        // QSettings keeps the files it has read and reads one again only
        // when its size or its modification time changed. Two values of the
        // same length written within one tick of the file system's clock
        // would look unchanged, and the store would read the earlier one.
        static int writes = 0;
        file.flush();
        if (!file.setFileTime(QDateTime::currentDateTimeUtc().addSecs(++writes), QFileDevice::FileModificationTime))
            qFatal("cannot date %s", qPrintable(storeFile()));
    }
    bool leftAsStoredByHand() const
    {
        QFile file(storeFile());
        return file.open(QIODevice::ReadOnly) && file.readAll() == byHand;
    }
    void store(const QString &key, const QVariant &value) const
    {
        QSettings writer(QStringLiteral("Trunoma"), QStringLiteral("Kiverlo"));
        writer.setValue(key, value);
    }

private:
    QTemporaryDir folder;
    QByteArray byHand;
};
#endif

// Problems of the test's own making (a widget it names that does not exist,
// a file dialog it waited for that never came) which must fail the test
// that caused them, not pass as a warning or spill into the next test.
namespace FixtureProblems {
inline QStringList &list()
{
    static QStringList problems;
    return problems;
}
inline void add(const QString &problem)
{
    qWarning("%s", qPrintable(problem));
    list() << problem;
}
// Watchers for file dialogs that have not met their dialog yet.
inline QList<QPointer<QTimer>> &pendingDialogWatchers()
{
    static QList<QPointer<QTimer>> watchers;
    return watchers;
}
} // namespace FixtureProblems

// A widget of the window by its object name. A test that names a widget the
// window does not have is wrong in itself: it stops at once.
template <typename T> T *widget(QWidget *window, const char *name)
{
    T *found = window ? window->findChild<T *>(QString::fromLatin1(name)) : nullptr;
    if (!found)
        qFatal("no %s named %s", T::staticMetaObject.className(), name);
    return found;
}

// Clicks a check box on its box, as a user does. (Its centre may lie past
// the end of its text, where newer Qt versions take no click.)
inline void clickCheckBox(QCheckBox *box)
{
    QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, QPoint(qMin(8, box->width() / 2), box->height() / 2));
}

// Waits for the next modal file dialog and hands it to `answer`, which
// selects and accepts or rejects it. Call before the click that opens it.
inline void answerNextFileDialog(std::function<void(QFileDialog *)> answer)
{
    auto *poll = new QTimer(qApp);
    FixtureProblems::pendingDialogWatchers() << QPointer<QTimer>(poll);
    auto started = std::make_shared<QElapsedTimer>();
    started->start();
    QObject::connect(poll, &QTimer::timeout, poll, [poll, answer, started] {
        if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            FixtureProblems::pendingDialogWatchers().removeAll(QPointer<QTimer>(poll));
            answer(dialog);
        } else if (started->elapsed() > 10000) {
            FixtureProblems::add(QStringLiteral("no file dialog appeared"));
            poll->stop();
            poll->deleteLater();
            FixtureProblems::pendingDialogWatchers().removeAll(QPointer<QTimer>(poll));
        }
    });
    poll->start(10);
}

// Picks `path` in the dialog's file list and accepts, as a user clicking
// the file and "Open". (Typing the name would not do for every name: the
// dialog reads quotes in its name field as separators between files.)
inline void choose(QFileDialog *dialog, const QString &path)
{
    dialog->setDirectory(QFileInfo(path).absolutePath());
    auto *list = dialog->findChild<QListView *>(QStringLiteral("listView"));
    auto *model = qobject_cast<QFileSystemModel *>(list ? list->model() : nullptr);
    if (model) {
        list->selectionModel()->select(
            model->index(path), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    } else {
        FixtureProblems::add(QStringLiteral("the file dialog has no file list"));
        dialog->selectFile(path);
    }
    // Through the base class: the file dialog keeps its own accept() protected.
    static_cast<QDialog *>(dialog)->accept();
}

// The clock the window times runs by, held still and moved on by the test
// for as long as it lives: what the window does at a limit does not depend
// on how fast this machine happens to be, and no test waits for a limit.
class ManualClock
{
public:
    ManualClock()
    {
        RunClock::setSource([this] { return now; });
    }
    ~ManualClock()
    {
        RunClock::setSource(nullptr);
    }
    ManualClock(const ManualClock &) = delete;
    ManualClock &operator=(const ManualClock &) = delete;
    void advance(qint64 ms)
    {
        now += ms;
    }

private:
    qint64 now = 1000000;
};

// What a test of the real window starts from: a settings store and a
// scratch folder of its own, and the window, found and driven through its
// widgets. Test classes call beginWindowTest() and endWindowTest() from their
// init() and cleanup().
class WindowTest
{
protected:
    void beginWindowTest()
    {
        FixtureProblems::list().clear();
        settings.reset(new IsolatedSettings);
        files.reset(new QTemporaryDir);
    }
    // Ends the test's window and files; fails the test if it left a problem
    // of its own behind, such as a file dialog watcher still waiting.
    void endWindowTest()
    {
        window.reset();
        files.reset();
        settings.reset();
        PortList::setSource(nullptr);
        QStringList &problems = FixtureProblems::list();
        for (const QPointer<QTimer> &watcher : FixtureProblems::pendingDialogWatchers()) {
            if (watcher) {
                problems << QStringLiteral("a file dialog watcher was left over: its dialog never opened");
                delete watcher.data();
            }
        }
        FixtureProblems::pendingDialogWatchers().clear();
        const QString message = problems.join(QStringLiteral("; "));
        problems.clear();
        if (!message.isEmpty())
            QFAIL(qPrintable(message));
    }

    // The port list offers exactly these, whatever this machine has.
    static void offerPorts(const QStringList &ports)
    {
        PortList::setSource([ports] { return ports; });
    }

    MainWindow *openWindow()
    {
        window.reset(new MainWindow);
        window->show();
        if (!QTest::qWaitForWindowExposed(window.get()))
            FixtureProblems::add(QStringLiteral("the window was not exposed"));
        return window.get();
    }
    // Clicks "Upload..." and picks `path` in the dialog that opens; returns
    // once the click is handled (the run, if any, goes on).
    void startUpload(const QString &path)
    {
        answerNextFileDialog([path](QFileDialog *dialog) { choose(dialog, path); });
        QTest::mouseClick(button(), Qt::LeftButton);
    }
    // Waits until the controls are unlocked again; the label then.
    QString waitForVerdict(int timeoutMs = 60000)
    {
        QElapsedTimer clock;
        clock.start();
        while (!controlsEnabled() && clock.elapsed() < timeoutMs)
            QTest::qWait(20);
        return label()->text();
    }

    QLabel *label() const
    {
        return widget<QLabel>(window.get(), "lblOutput");
    }
    QTextEdit *console() const
    {
        return widget<QTextEdit>(window.get(), "txtOutput");
    }
    QPushButton *button() const
    {
        return widget<QPushButton>(window.get(), "btnUploadFlash");
    }
    QComboBox *portList() const
    {
        return widget<QComboBox>(window.get(), "cboCommPort");
    }
    bool controlsEnabled() const
    {
        return button()->isEnabled() && portList()->isEnabled();
    }
    bool controlsDisabled() const
    {
        return !button()->isEnabled() && !portList()->isEnabled();
    }

    std::unique_ptr<IsolatedSettings> settings;
    std::unique_ptr<QTemporaryDir> files;
    std::unique_ptr<MainWindow> window;
};

#endif

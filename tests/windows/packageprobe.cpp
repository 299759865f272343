// SPDX-License-Identifier: GPL-3.0-or-later
// Checks an unpacked Windows package from inside: copied into the package's
// folder and started there, with no Qt search path of its own, it loads
// exactly what Kiverlo.exe loads, builds the tool's window the same way and
// checks that the window comes up with the icon from my_app.icns, in the
// style the package ships. It is not part of the package.
//
// Exit code 0 when all is well; each fault is printed as "FAIL: ...".
#include "mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QStyle>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

#include <windows.h>

#include <memory>

namespace {

int failures = 0;

void fail(const QString &what)
{
    QTextStream(stderr) << "FAIL: " << what << '\n';
    ++failures;
}

void note(const QString &what)
{
    QTextStream(stdout) << what << '\n';
}

QString loadedFrom(const wchar_t *module)
{
    const HMODULE handle = GetModuleHandleW(module);
    if (!handle)
        return QString();
    wchar_t path[MAX_PATH] = {};
    const DWORD size = GetModuleFileNameW(handle, path, MAX_PATH);
    return QFileInfo(QDir::fromNativeSeparators(QString::fromWCharArray(path, int(size)))).absolutePath();
}

bool sameFolder(const QString &a, const QString &b)
{
    return QDir::cleanPath(a).compare(QDir::cleanPath(b), Qt::CaseInsensitive) == 0;
}

// The tool's window, shown; checks the icon it carries, in Qt and as the
// window system knows it.
void checkWindow(bool expectIcon)
{
    auto window = std::make_unique<MainWindow>();
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get()))
        fail(QStringLiteral("the window was not shown"));
    const QList<QSize> sizes = window->windowIcon().availableSizes();
    QStringList listed;
    for (const QSize &size : sizes)
        listed << QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
    const QString found = listed.isEmpty() ? QStringLiteral("none") : listed.join(QLatin1Char(' '));
    note(QStringLiteral("window icon sizes in %1: %2").arg(QDir::currentPath(), found));
    const auto native = reinterpret_cast<HWND>(window->winId());
    const bool nativeIcon
        = SendMessageW(native, WM_GETICON, ICON_BIG, 0) && SendMessageW(native, WM_GETICON, ICON_SMALL, 0);
    if (expectIcon) {
        if (!sizes.contains(QSize(16, 16)) || !sizes.contains(QSize(32, 32)) || !sizes.contains(QSize(256, 256)))
            fail(QStringLiteral("my_app.icns did not load with its 16, 32 and 256 pixel images"));
        if (!nativeIcon)
            fail(QStringLiteral("the native window carries no icon"));
    } else if (!sizes.isEmpty() || nativeIcon) {
        fail(QStringLiteral("the window has an icon though my_app.icns is not in its working folder"));
    }
}

} // namespace

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    const QString folder = QCoreApplication::applicationDirPath();
    note(QStringLiteral("package folder: %1").arg(folder));

    // Qt and the compiler's runtime come from the package folder.
    const wchar_t *modules[] = {L"Qt5Core.dll", L"Qt5Gui.dll", L"Qt5Widgets.dll", L"Qt5SerialPort.dll",
        L"libstdc++-6.dll", L"libgcc_s_seh-1.dll", L"libwinpthread-1.dll"};
    for (const wchar_t *module : modules) {
        const QString from = loadedFrom(module);
        if (!sameFolder(from, folder))
            fail(QStringLiteral("%1 loaded from '%2'").arg(QString::fromWCharArray(module), from));
    }
    // Its plugins too: the folder is the only place Qt looks.
    const QStringList libraryPaths = QCoreApplication::libraryPaths();
    if (libraryPaths.size() != 1 || !sameFolder(libraryPaths.value(0), folder))
        fail(QStringLiteral("Qt looks for plugins in: %1").arg(libraryPaths.join(QStringLiteral(", "))));
    if (QGuiApplication::platformName() != QLatin1String("windows"))
        fail(QStringLiteral("platform '%1', not the Windows one").arg(QGuiApplication::platformName()));
    if (!QStyleFactory::keys().contains(QStringLiteral("WindowsVista"), Qt::CaseInsensitive))
        fail(QStringLiteral("no Windows Vista style: styles are %1").arg(QStyleFactory::keys().join(QLatin1Char(' '))));
    note(QStringLiteral("style: %1").arg(QApplication::style()->objectName()));

    // Started in its folder, as a double click does, the window carries the
    // icon from my_app.icns; started elsewhere it has none, which shows that
    // the check above can tell the two apart.
    QDir::setCurrent(folder);
    checkWindow(true);
    QTemporaryDir elsewhere;
    QDir::setCurrent(elsewhere.path());
    checkWindow(false);
    QDir::setCurrent(folder);

    note(failures == 0 ? QStringLiteral("package probe passed") : QStringLiteral("package probe FAILED"));
    return failures == 0 ? 0 : 1;
}

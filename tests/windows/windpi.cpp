// SPDX-License-Identifier: GPL-3.0-or-later
// The window at the display scale the system is set to, set up as the tool
// sets it up. Prints the scale, then the geometry of the window and of every
// widget in it, in device-independent pixels, and how much height the
// instruction label's wrapped text needs against the height it has. The
// check (dpi-check.sh) compares what it prints at different scales.
#include "highdpi.h"
#include "mainwindow.h"

#include <QApplication>
#include <QFontInfo>
#include <QLabel>
#include <QScreen>
#include <QStringList>
#include <QtTest>
#include <QWindow>

#include <cstdio>

int main(int argc, char *argv[])
{
    enableHighDpiScaling();
    QApplication application(argc, argv);
    MainWindow window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) {
        std::fprintf(stderr, "the window was not shown\n");
        return 2;
    }

    std::printf("scale %.3f\n", window.windowHandle()->devicePixelRatio());
    std::printf("logical-dpi %.1f\n", window.screen()->logicalDotsPerInch());

    // Every widget by its place in the tree, as "parent/child" object names
    // or, for the widgets of Qt's own making, class names.
    QStringList lines;
    lines << QStringLiteral("geometry window %1x%2").arg(window.width()).arg(window.height());
    const QList<QWidget *> widgets = window.findChildren<QWidget *>();
    for (QWidget *widget : widgets) {
        QString path;
        for (QObject *o = widget; o && o != &window; o = o->parent()) {
            const QString name
                = o->objectName().isEmpty() ? QString::fromLatin1(o->metaObject()->className()) : o->objectName();
            path = path.isEmpty() ? name : name + QLatin1Char('/') + path;
        }
        const QRect r = widget->geometry();
        lines
            << QStringLiteral("geometry %1 %2,%3 %4x%5").arg(path).arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
    }
    lines.sort();
    for (const QString &line : lines)
        std::printf("%s\n", qPrintable(line));

    const QLabel *label = window.findChild<QLabel *>(QStringLiteral("lblOutput"));
    if (!label) {
        std::fprintf(stderr, "no lblOutput\n");
        return 2;
    }
    const QFontInfo font(label->font());
    std::printf("font %s %.1f pt, %d px, line %d px, text %d px wide\n", qPrintable(font.family()), font.pointSizeF(),
        font.pixelSize(), label->fontMetrics().height(), label->fontMetrics().horizontalAdvance(label->text()));
    std::printf("label-needs %d label-has %d\n", label->heightForWidth(label->width()), label->height());
    return 0;
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "highdpi.h"

#include <QGuiApplication>

void enableHighDpiScaling()
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Without this, Qt 5 draws text at the system's size but keeps the
    // window's fixed geometry in device pixels, so texts get cut off.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    // 1.25 stays 1.25 instead of being rounded to 1.
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
#endif
}

// SPDX-License-Identifier: GPL-3.0-or-later
// Checks that the window icon file loads through Qt's image plugins and holds
// several sizes, as the program loads it at start-up.
#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QSet>
#include <QSize>
#include <QTemporaryDir>
#include <QTextStream>

int main(int argc, char **argv)
{
    // Runs offscreen, and keeps Qt's runtime, cache and settings folders in a
    // temporary folder of its own.
    QTemporaryDir home;
    if (!home.isValid())
        return 2;
    const QByteArray root = QFile::encodeName(home.path());
    qputenv("XDG_RUNTIME_DIR", root);
    qputenv("XDG_CONFIG_HOME", root + "/config");
    qputenv("XDG_CACHE_HOME", root + "/cache");
    qputenv("XDG_DATA_HOME", root + "/data");
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QGuiApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 3) {
        err << "usage: icns_sizes <file.icns> <min-count> [required size...]\n";
        return 2;
    }
    const QString path = args.at(1);
    const int minCount = args.at(2).toInt();

    QImageReader reader(path);
    if (!reader.canRead()) {
        err << "FAIL: Qt cannot read " << path << " (" << reader.errorString()
            << "); the icns image plugin comes with the package qt" << QT_VERSION_MAJOR << "-image-formats-plugins\n";
        return 1;
    }
    out << "format: " << QString::fromLatin1(reader.format()) << ", images: " << reader.imageCount() << "\n";

    QList<int> sizes;
    int index = 0;
    do {
        const QImage image = reader.read();
        if (image.isNull()) {
            err << "FAIL: image " << index << " does not decode: " << reader.errorString() << "\n";
            return 1;
        }
        if (image.width() != image.height()) {
            err << "FAIL: image " << index << " is not square: " << image.width() << "x" << image.height() << "\n";
            return 1;
        }
        if (!image.hasAlphaChannel()) {
            err << "FAIL: image " << index << " has no alpha channel\n";
            return 1;
        }
        // A blank picture would mean a broken conversion: the middle of the
        // icon is always painted.
        if (qAlpha(image.pixel(image.width() / 2, image.height() / 2)) == 0) {
            err << "FAIL: image " << index << " is transparent in the middle\n";
            return 1;
        }
        out << "  image " << index << ": " << image.width() << "x" << image.height() << "\n";
        sizes << image.width();
        ++index;
    } while (reader.jumpToNextImage());

    QSet<int> distinct;
    for (int s : sizes)
        distinct.insert(s);
    if (distinct.size() < minCount) {
        err << "FAIL: " << distinct.size() << " distinct sizes, expected at least " << minCount << "\n";
        return 1;
    }
    for (int i = 3; i < args.size(); ++i) {
        const int wanted = args.at(i).toInt();
        if (!distinct.contains(wanted)) {
            err << "FAIL: no " << wanted << " px image\n";
            return 1;
        }
    }

    // The window uses the file through QIcon: every size must reach it.
    const QIcon icon(path);
    const QList<QSize> available = icon.availableSizes();
    out << "QIcon sizes:";
    for (const QSize &s : available)
        out << " " << s.width() << "x" << s.height();
    out << "\n";
    if (icon.isNull() || available.size() < minCount) {
        err << "FAIL: QIcon offers " << available.size() << " sizes, expected at least " << minCount << "\n";
        return 1;
    }
    out << "PASS: " << path << "\n";
    return 0;
}

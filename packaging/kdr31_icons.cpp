// Writes the desktop's icons into a hicolor tree at build time: the SVG and one PNG per size,
// all drawn from the program's own icon description.
//
//   kdr31_icons <hicolor directory> <icon name> <size>...

#include "main_window/MeterIcon.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdio>

int main(int argc, char* argv[]) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <hicolor directory> <icon name> <size>...\n", argv[0]);
        return 2;
    }
    const QDir root(QString::fromLocal8Bit(argv[1]));
    const QString name = QString::fromLocal8Bit(argv[2]);
    const auto write = [](const QString& path, const auto& save) {
        if (!QDir().mkpath(QFileInfo(path).path()) || !save(path)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return false;
        }
        return true;
    };
    bool ok = write(root.filePath("scalable/apps/" + name + ".svg"), [](const QString& path) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(MeterIconSvg()) >= 0;
    });
    for (int i = 3; i < argc; ++i) {
        const int size = QByteArray(argv[i]).toInt();
        ok =
            write(root.filePath(QStringLiteral("%1x%1/apps/").arg(size) + name + ".png"),
                  [size](const QString& path) { return MeterIconImage(size).save(path, "PNG"); }) &&
            ok;
    }
    return ok ? 0 : 1;
}

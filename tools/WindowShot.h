#pragma once
// A window as the screen shows it, frame included, saved as a picture once it has settled
// (painted, laid out, its queued events run).

#include <QApplication>
#include <QPixmap>
#include <QScreen>
#include <QThread>
#include <QWidget>
#include <cstdio>

inline bool SaveWindowShot(QWidget& window, const char* path, const char* program) {
    for (int i = 0; i < 10; ++i) {
        QApplication::processEvents();
        QThread::msleep(30);
    }
    const QRect area = window.frameGeometry();
    const QPixmap shot =
        window.screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    if (shot.save(QString::fromLocal8Bit(path)))
        return true;
    std::fprintf(stderr, "%s: cannot write %s\n", program, path);
    return false;
}

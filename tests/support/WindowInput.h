#pragma once
// Mouse input the way the window system delivers it: queued, and handled when an event loop
// takes user input. QTest's widget clicks are sent at once and would pass by the queue, so they
// cannot show what happens to a click that arrives while the window is busy.

#include <QWidget>
#include <QWindow>
#include <qpa/qwindowsysteminterface.h>

// Queues a press and a release at the centre of widget; twice makes a double click.
inline void QueueClick(QWidget* widget, int times = 1) {
    QWindow* window = widget->window()->windowHandle();
    const QPointF local = widget->mapTo(widget->window(), widget->rect().center());
    const QPointF global = widget->mapToGlobal(widget->rect().center());
    for (int i = 0; i < times; ++i) {
        QWindowSystemInterface::handleMouseEvent<QWindowSystemInterface::AsynchronousDelivery>(
            window, local, global, Qt::LeftButton, Qt::LeftButton, QEvent::MouseButtonPress);
        QWindowSystemInterface::handleMouseEvent<QWindowSystemInterface::AsynchronousDelivery>(
            window, local, global, Qt::NoButton, Qt::LeftButton, QEvent::MouseButtonRelease);
    }
}

#pragma once
// The window icon and the refresh picture, drawn at start-up so that no image files ship.

#include <QIcon>
#include <QPixmap>

QIcon WindowIcon();
QPixmap RefreshPicture();

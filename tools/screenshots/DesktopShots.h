#pragma once
#include <QString>

// The pictures the desktop draws for the program: the notifications of a ringing and a missed call
// (drawn by the notification daemon) and the tray icon's menu, taken from the screen; and the notice
// of the window closed to the tray. Needs an X display with a
// notification daemon and a tray host (desktop-shots.sh sets one up).
bool desktopPictures(const QString& folder);

#pragma once
#include <QString>

class QImage;
class QWidget;

// Every picture the tool takes is written the same way, as folder/name in PNG at full compression,
// and told on standard output ("saved PATH" or "FAILED PATH") so a run shows what came out.
bool savePicture(const QImage& picture, const QString& folder, const char* name);

// Shows `window`, lets it lay itself out and paint, and saves what it draws (without a frame).
bool saveWindow(QWidget& window, const QString& folder, const char* name);

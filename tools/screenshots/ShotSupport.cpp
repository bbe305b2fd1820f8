#include "ShotSupport.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QPixmap>
#include <QTextStream>
#include <QWidget>

bool savePicture(const QImage& picture, const QString& folder, const char* name) {
    const QString path = QDir(folder).filePath(QString::fromLatin1(name));
    const bool saved = !picture.isNull() && picture.save(path, "PNG", 9);
    QTextStream(stdout) << (saved ? "saved " : "FAILED ") << path << Qt::endl;
    return saved;
}

bool saveWindow(QWidget& window, const QString& folder, const char* name) {
    window.show();
    for (int pass = 0; pass < 5; ++pass)
        QApplication::processEvents();
    return savePicture(window.grab().toImage(), folder, name);
}

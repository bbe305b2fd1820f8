#pragma once
// The labels the call's views show beside the engine's pictures and words: plain text, whatever
// a peer put into it, and hidden until there is something to say.
#include <QLabel>

namespace callui {

inline QLabel* hiddenLabel(QWidget* parent, const char* name) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->hide();
    return label;
}

} // namespace callui

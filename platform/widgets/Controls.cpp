#include "platform/widgets/Controls.h"

#include "platform/vb.h"

#include <QCheckBox>
#include <QPalette>
#include <QVariant>
#include <QWidget>

namespace vb {

namespace {
constexpr const char* kTagProperty = "Tag";
} // namespace

QString Tag(const QObject& control) {
    return control.property(kTagProperty).toString();
}

void setTag(QObject& control, const QString& tag) {
    control.setProperty(kTagProperty, tag);
}

int ForeColor(const QWidget& control) {
    const QColor color = control.palette().color(QPalette::Active, QPalette::Text);
    return color.red() | (color.green() << 8) | (color.blue() << 16);
}

void setForeColor(QWidget& control, int bgr) {
    const QColor color(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF);
    QPalette palette = control.palette();
    // Text serves the editors, WindowText labels and frames; a disabled control keeps its grey.
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::Text, color);
        palette.setColor(group, QPalette::WindowText, color);
    }
    control.setPalette(palette);
}

int Value(const QCheckBox& box) {
    switch (box.checkState()) {
    case Qt::Checked:
        return vbChecked;
    case Qt::PartiallyChecked:
        return vbGrayed;
    default:
        return vbUnchecked;
    }
}

void setValue(QCheckBox& box, int value) {
    switch (value) {
    case vbUnchecked:
        box.setCheckState(Qt::Unchecked);
        break;
    case vbChecked:
        box.setCheckState(Qt::Checked);
        break;
    case vbGrayed:
        box.setCheckState(Qt::PartiallyChecked);
        break;
    default:
        raise(380);
    }
}

} // namespace vb

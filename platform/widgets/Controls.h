#pragma once
// Small properties the forms give their controls: a Tag text, a 0xBBGGRR fore colour, and the
// three-state value of a check box (0 unchecked, 1 checked, 2 grayed).
#include "platform/vb.h"

#include <QString>

class QObject;
class QWidget;
class QCheckBox;

namespace vb {

QString Tag(const QObject& control);
void setTag(QObject& control, const QString& tag);

int ForeColor(const QWidget& control);
void setForeColor(QWidget& control, int bgr);

inline constexpr int vbUnchecked = 0;
inline constexpr int vbChecked = 1;
inline constexpr int vbGrayed = 2;
int Value(const QCheckBox& box);
// Setting a value that differs from the current one fires the box's click handler, as a click would.
void setValue(QCheckBox& box, int value);

} // namespace vb

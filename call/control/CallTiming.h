#pragma once
// What the status box says of a call under way: how long it has run, and whether it fares well
// enough to talk by the engine's figures.
#include "call/rtc/Rtc.h"

#include <QString>

namespace callcontrol {

// "0:07", "12:03", "1:02:03": minutes and seconds, hours only once there are any.
QString durationText(qint64 seconds);

enum class CallQuality { Unknown, Good, Poor };
// Poor as soon as one figure is bad enough to be heard (a low rating, lost packets, a long
// jitter buffer or round trip); Good when the figures known are all fine; Unknown with none.
CallQuality qualityOf(const rtc::CallFigures& figures);
// The figures known, one a line, for the indicator's tooltip.
QString figuresText(const rtc::CallFigures& figures);

} // namespace callcontrol

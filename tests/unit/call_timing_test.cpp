// How long a call has run and whether it fares well, as the status box tells them.
#include "call/control/CallTiming.h"

#include <gtest/gtest.h>

using callcontrol::CallQuality;

TEST(CallTiming, DurationsReadAsMinutesAndSecondsWithHoursOnlyOnceThereAreAny) {
    const std::pair<qint64, const char*> cases[] = {{-5, "0:00"},      {0, "0:00"},        {7, "0:07"},
                                                    {83, "1:23"},      {3599, "59:59"},    {3600, "1:00:00"},
                                                    {3723, "1:02:03"}, {90061, "25:01:01"}};
    for (const auto& [seconds, text] : cases)
        EXPECT_EQ(callcontrol::durationText(seconds), QString::fromLatin1(text)) << seconds;
}

// One bad figure is enough to be heard; figures the engine does not give count for nothing.
TEST(CallTiming, QualityIsPoorOnAnyBadFigureGoodOnFineOnesAndUnknownWithoutAny) {
    const std::pair<rtc::CallFigures, CallQuality> cases[] = {
        {{}, CallQuality::Unknown},
        {{4.6, 20, 0, 30}, CallQuality::Good},
        {{-1, 60, 1.5, -1}, CallQuality::Good}, // no rating yet
        {{2.5, 0, 0, 9}, CallQuality::Good},    // a clean loopback call on a busy machine
        {{1.9, 20, 0, 30}, CallQuality::Poor},
        {{4.6, 20, 12, 30}, CallQuality::Poor},
        {{4.6, 400, 0, 30}, CallQuality::Poor},
        {{4.6, 20, 0, 900}, CallQuality::Poor},
    };
    for (const auto& [figures, quality] : cases)
        EXPECT_EQ(callcontrol::qualityOf(figures), quality) << callcontrol::figuresText(figures).toStdString();
}

// Whether a call fares well, as the status box tells it (how long it has run is read there, in
// rtc_setup_test).
#include "call/control/CallTiming.h"

#include <gtest/gtest.h>

using callcontrol::CallQuality;

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

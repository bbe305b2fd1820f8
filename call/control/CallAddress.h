#pragma once
// The call address others reach this client at ("host:port"), chosen at start-up from the
// engine's own addresses and the WAN address the web lookup found; the engine is told to take
// calls whenever it has an address at all.
#include "call/rtc/Rtc.h"

#include <QString>
#include <QStringList>

namespace callcontrol {

// `external` and `internal` are the engine's UDP addresses ("host:port"), public and not. Returns
// the call address; empty when the engine has no address (then `wanIp` stays as it is). `step`
// follows the start-up's step numbers for its error report; the engine's failures throw.
QString listenAtCallAddress(rtc::IRTCClient2& engine, const QString& wanIp, const QStringList& external,
                            const QStringList& internal, int& step);

} // namespace callcontrol

#include "call/control/CallAddress.h"

namespace callcontrol {

namespace {

// The port part of the first address text that has one; 5060 when none does. The call address
// built from the WAN address must name the port the client really listens on, which is 5060
// only while that port was free.
QString listeningPort(const QStringList& external, const QStringList& internal) {
    for (const QString& text : external + internal) {
        const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
        if (colon >= 0 && colon + 1 < text.size()) return text.mid(colon + 1);
    }
    return QStringLiteral("5060");
}

QString firstNonEmpty(const QStringList& texts) {
    for (const QString& text : texts)
        if (!text.isEmpty()) return text;
    return {};
}

// VB's InStr(text, part) > 0: an empty part is found in any non-empty text, nothing in an empty one.
bool occursIn(const QString& text, const QString& part) {
    return !text.isEmpty() && text.contains(part, Qt::CaseSensitive);
}

} // namespace

QString listenAtCallAddress(rtc::IRTCClient2& engine, const QString& wanIp, const QStringList& external,
                            const QStringList& internal, int& step) {
    const QString wanAddress = wanIp + QLatin1Char(':') + listeningPort(external, internal);
    step = 44;
    if (!external.isEmpty()) {
        step = 148;
        const QString callAddress = firstNonEmpty(external);
        step = 160;
        engine.put_ListenForIncomingSessions(rtc::RTCLM_BOTH);
        return callAddress;
    }
    step = 50;
    if (internal.isEmpty()) {
        step = 55; // no address at all: the client cannot be called
        return {};
    }
    step = 60;
    if (internal.size() == 1) {
        step = 105;
        engine.put_ListenForIncomingSessions(rtc::RTCLM_BOTH);
        step = 110;
        // Without a WAN address (offline, or a host whose only interface is loopback) the one
        // address this machine has is still one others on it can call.
        return wanIp.isEmpty() ? internal.first() : wanAddress;
    }
    step = 65;
    const QString first = firstNonEmpty(internal);
    step = 80;
    if (occursIn(first, wanIp)) {
        step = 95;
        engine.put_ListenForIncomingSessions(rtc::RTCLM_BOTH);
        return first;
    }
    step = 85;
    engine.put_ListenForIncomingSessions(rtc::RTCLM_BOTH);
    step = 90;
    return wanAddress;
}

} // namespace callcontrol

#include "call/rtc/CallSecurity.h"

namespace rtc {

QString protectionName(MediaProtection protection) {
    switch (protection) {
    case MediaProtection::Zrtp:
        return QStringLiteral("ZRTP");
    case MediaProtection::Srtp:
        return QStringLiteral("SRTP");
    case MediaProtection::Dtls:
        return QStringLiteral("DTLS-SRTP");
    case MediaProtection::None:
        return QStringLiteral("not encrypted");
    case MediaProtection::Unknown:
        break;
    }
    return {};
}

} // namespace rtc

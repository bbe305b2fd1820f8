#pragma once
// Plain event objects behind the event interfaces of Rtc.h. Every engine (the liblinphone one and
// the scripted one of the tests) builds its events from these, so the handlers read the same
// kind of object whichever engine sent it.
#include "call/rtc/Rtc.h"

#include <utility>

namespace rtc {

class ClientEventData final : public IRTCClientEvent {
public:
    explicit ClientEventData(long type) : m_type(type) {}
    long get_EventType() const override { return m_type; }

private:
    long m_type;
};

class SessionStateEventData final : public IRTCSessionStateChangeEvent {
public:
    SessionStateEventData(long state, std::shared_ptr<IRTCSession2> session, long statusCode = 0,
                          QString statusText = {})
        : m_state(state), m_session(std::move(session)), m_statusCode(statusCode), m_statusText(std::move(statusText)) {
    }
    long get_State() const override { return m_state; }
    std::shared_ptr<IRTCSession2> get_Session() const override { return m_session; }
    long get_StatusCode() const override { return m_statusCode; }
    QString get_StatusText() const override { return m_statusText; }

private:
    long m_state;
    std::shared_ptr<IRTCSession2> m_session;
    long m_statusCode;
    QString m_statusText;
};

class MediaEventData final : public IRTCMediaEvent {
public:
    MediaEventData(long type, long mediaType, long reason) : m_type(type), m_mediaType(mediaType), m_reason(reason) {}
    long get_EventType() const override { return m_type; }
    long get_MediaType() const override { return m_mediaType; }
    long get_EventReason() const override { return m_reason; }

private:
    long m_type;
    long m_mediaType;
    long m_reason;
};

class RegistrationStateEventData final : public IRTCRegistrationStateChangeEvent {
public:
    RegistrationStateEventData(long state, long statusCode, QString statusText = {}, QString profileName = {},
                               QString profileUserUri = {})
        : m_state(state), m_statusCode(statusCode), m_statusText(std::move(statusText)),
          m_profileName(std::move(profileName)), m_profileUserUri(std::move(profileUserUri)) {}
    long get_State() const override { return m_state; }
    long get_StatusCode() const override { return m_statusCode; }
    QString get_StatusText() const override { return m_statusText; }
    QString get_ProfileName() const override { return m_profileName; }
    QString get_ProfileUserURI() const override { return m_profileUserUri; }

private:
    long m_state;
    long m_statusCode;
    QString m_statusText;
    QString m_profileName;
    QString m_profileUserUri;
};

class OperationCompleteEventData final : public IRTCSessionOperationCompleteEvent {
public:
    OperationCompleteEventData(long statusCode, QString statusText)
        : m_statusCode(statusCode), m_statusText(std::move(statusText)) {}
    long get_StatusCode() const override { return m_statusCode; }
    QString get_StatusText() const override { return m_statusText; }

private:
    long m_statusCode;
    QString m_statusText;
};

class IntensityEventData final : public IRTCIntensityEvent {
public:
    IntensityEventData(long level, long direction) : m_level(level), m_direction(direction) {}
    long get_Level() const override { return m_level; }
    long get_Direction() const override { return m_direction; }

private:
    long m_level;
    long m_direction;
};

// A participant as a session lists it.
class ParticipantData : public IRTCParticipant {
public:
    ParticipantData(QString name, QString uri) : m_name(std::move(name)), m_uri(std::move(uri)) {}
    QString get_Name() const override { return m_name; }
    QString get_UserURI() const override { return m_uri; }

private:
    QString m_name;
    QString m_uri;
};

// A fixed list of participants, 1-based; index outside 1..count fails with "Subscript out of range".
class ParticipantList final : public IRTCCollection {
public:
    explicit ParticipantList(QList<std::shared_ptr<IRTCParticipant>> items) : m_items(std::move(items)) {}
    long get_Count() const override { return static_cast<long>(m_items.size()); }
    std::shared_ptr<IRTCParticipant> get_Item(long index) const override;

private:
    QList<std::shared_ptr<IRTCParticipant>> m_items;
};

// Failures of engine operations, numbered as the COM results the program would see.
inline constexpr int kRtcErrFail = static_cast<int>(0x80004005);       // E_FAIL
inline constexpr int kRtcErrInvalidArg = static_cast<int>(0x80070057); // E_INVALIDARG
inline constexpr int kRtcErrUnexpected = static_cast<int>(0x8000FFFF); // E_UNEXPECTED: wrong state
inline constexpr int kRtcErrNotImplemented = static_cast<int>(0x80004001);

// True when the filter admits events of this kind (bit n admits kind n).
inline bool filterAdmits(long filter, long kind) {
    return kind >= 0 && kind < 31 && (filter & (1L << kind)) != 0;
}

} // namespace rtc

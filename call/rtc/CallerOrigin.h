#pragma once
// Where an incoming call came from, as the engine saw its first request: the network address the
// datagram came from and the address its Contact header names ("host:port" both). Unlike the
// caller's name and SIP address, which the caller writes as it likes, the first cannot be chosen
// freely by a caller who wants the answer; the program names a caller after a contact only when
// both agree with that contact's call address.
#include "call/rtc/Rtc.h"
#include "call/rtc/RtcEvents.h"

namespace rtc {

class IRTCCallerOrigin {
public:
    virtual ~IRTCCallerOrigin() = default;
    virtual QString get_SourceAddress() const = 0;
    virtual QString get_ContactAddress() const = 0;
};

// The caller of an incoming call, as its session lists it.
class CallerData final : public ParticipantData, public IRTCCallerOrigin {
public:
    CallerData(QString name, QString uri, QString source, QString contact)
        : ParticipantData(std::move(name), std::move(uri)), m_source(std::move(source)), m_contact(std::move(contact)) {
    }
    QString get_SourceAddress() const override { return m_source; }
    QString get_ContactAddress() const override { return m_contact; }

private:
    QString m_source;
    QString m_contact;
};

// A request the engine's guard answered (or dropped) instead of letting it through, or a call the
// engine ended because nobody here placed or answered it: a client event of its own kind, so the
// program can log it and keep a refused call in the history.
inline constexpr long RTCCET_REQUEST_REFUSED = 100;

class RequestRefusedEventData final : public IRTCClientEvent {
public:
    enum class What {
        Call,         // a new call refused before it rang (too large, malformed)
        Transfer,     // a REFER: the call it came in was ended
        Takeover,     // an INVITE that would replace a call in progress
        Other,        // a request no call of ours uses
        UnplacedCall, // a call the engine started by itself, ended at once
    };
    RequestRefusedEventData(What what, QString description, std::shared_ptr<CallerData> caller = {})
        : m_what(what), m_description(std::move(description)), m_caller(std::move(caller)) {}
    long get_EventType() const override { return RTCCET_REQUEST_REFUSED; }
    What what() const { return m_what; }
    // One line for the error log: what was refused, from where, and why.
    const QString& description() const { return m_description; }
    // The caller of a refused call, with the name it gave cut to the guard's bound.
    const std::shared_ptr<CallerData>& caller() const { return m_caller; }

private:
    What m_what;
    QString m_description;
    std::shared_ptr<CallerData> m_caller;
};

} // namespace rtc

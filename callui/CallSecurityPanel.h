#pragma once
// What the window shows of a call's encryption while it runs: whether the media are encrypted and
// how, for ZRTP the short authentication string to read aloud with the button that marks it
// verified, and a warning when a contact verified before comes with another key. The verdict of
// the last call stays until the next one connects.
#include "call/rtc/CallSecurity.h"

#include <QWidget>
#include <memory>

class QLabel;
class QPushButton;

class CallSecurityPanel : public QWidget {
    Q_OBJECT
public:
    explicit CallSecurityPanel(QWidget* parent = nullptr);

    QLabel* lblCallSecurity = nullptr;
    QLabel* lblSas = nullptr;              // the code to read aloud, large, while it awaits the user
    QPushButton* cmdSasVerified = nullptr; // "The codes match": shown while a ZRTP code awaits the user

    // A call rings or is being placed: the last call's verdict goes.
    void callStarting();
    // A call has connected with `party`, known by `email` (a contact's e-mail address, else the
    // caller's SIP address) and shown as `name`.
    void callConnected(const std::shared_ptr<rtc::IRTCSession2>& session, const QString& name, const QString& email);
    // The engine's report on a session's security; reports on other sessions than the call's are
    // ignored. False when it was not the call's.
    bool securityChanged(const std::shared_ptr<rtc::IRTCSession2>& session, const rtc::CallSecurity& security);
    // The call could not be encrypted and the user takes encrypted calls only: it is being ended.
    void refusedUnencrypted();
    void callEnded();

    const rtc::CallSecurity& security() const { return m_security; }
    // How the call's history row names its protection: "ZRTP, verified", "not encrypted", ...;
    // empty while not settled.
    QString historyText() const;
    // The call in progress is encrypted with ZRTP, its key is the one the user verified, and it
    // was verified for the contact known by `email`: the other party is who they were then.
    bool verifiedAs(const QString& email) const;

    // The text and whether it is a warning, for a call with `name` in `security`; `verifiedBefore`:
    // the user verified this contact's key in an earlier call.
    struct Verdict {
        QString text;
        bool warning = false;
        bool askToCompare = false; // the code waits for the user's comparison
    };
    static Verdict verdictFor(const rtc::CallSecurity& security, const QString& name, bool verifiedBefore);

private:
    void markVerified();
    void showVerdict(const Verdict& verdict);

    std::weak_ptr<rtc::IRTCSession2> m_session;
    QString m_name;
    QString m_email;
    rtc::CallSecurity m_security;
    bool m_refused = false;
};

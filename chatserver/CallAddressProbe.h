#pragma once
// Whether a user can be called: at log-in the server sends one SIP OPTIONS datagram to the call
// address the client gives and waits a short while for any SIP answer (a softphone answers
// OPTIONS by itself). A user whose address stays silent is told what that means and what to
// check, in place of the plain log-in answer.
//
// The server must never become a tool against others: it only sends to the network address the
// log-in itself came from (which the TCP handshake proves), so naming someone else's address
// sends nothing and tells nothing; and each check is limited per account, per target address
// and in all, with a cap on checks waiting at once.
#include "chatserver/net/RateLimits.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class QUdpSocket;

namespace chatserver {

struct CallCheckSettings {
    bool enabled = true;
    int waitMs = 2000;                // for an answer; never past the client's exchange
    RateLimit perAccount{2, 600'000}; // checks of one user's address
    RateLimit perTarget{10, 600'000}; // datagrams to one network address (IPv6: its /64)
    RateLimit overall{20, 1000};      // datagrams in all
    int maxWaiting = 256;             // checks awaiting an answer at once
};

// Where a check of `callAddress` would go: a literal IP address with an optional port (5060),
// and only when it is the address `peer` (the log-in's caller) has. Nothing otherwise.
inline constexpr quint16 kDefaultSipPort = 5060;
struct CallTarget {
    QHostAddress host;
    quint16 port = kDefaultSipPort;
};
std::optional<CallTarget> callTargetOf(const QString& callAddress, const QString& peer);
// The same without the caller: any literal address and port.
std::optional<CallTarget> splitCallAddress(const QString& callAddress);

// The OPTIONS request of one check; `token` (hex) makes its branch and Call-ID.
QByteArray optionsRequest(const CallTarget& target, const QString& viaHost, quint16 viaPort, const QByteArray& token);
// The token of the check a SIP response answers, or empty when the datagram is none.
QByteArray answeredToken(QByteArrayView datagram);

// Whether `reply` is a log-in answer ("1" and its records), which withSilentAddressNotice turns.
bool isLogInAnswer(const QString& reply);
// A log-in answer turned into the notice for a silent call address: reply 11 with the same
// records (the client reads a notice only after a record), or, for a user without contacts, the
// red status text of reply 1957. Nothing for any other answer.
std::optional<QString> withSilentAddressNotice(const QString& logInReply, const QString& callAddress);

// What the checks of every serving loop spend together: tokens per account, per target and in
// all, and the checks waiting at once.
class ProbeBudget {
public:
    explicit ProbeBudget(const CallCheckSettings& settings);
    // Takes a check's tokens, or says why there are none (nothing taken then).
    const char* take(const QString& accountKey, const QString& targetKey, qint64 nowMs);
    void finished(); // a check taken is over

private:
    std::mutex m_mutex;
    int m_maxWaiting;
    int m_waiting = 0;
    TokenBuckets m_perAccount;
    TokenBuckets m_perTarget;
    TokenBuckets m_overall;
};

class CallAddressProbe : public QObject {
    Q_OBJECT
public:
    enum class Result { Answered, Silent };
    using Done = std::function<void(Result)>;

    // `viaHost`: the address the server gives for itself in its requests.
    // `budget` is shared with the probes of the other serving loops; a new one when null.
    CallAddressProbe(CallCheckSettings settings, QString viaHost, std::shared_ptr<ProbeBudget> budget = nullptr,
                     QObject* parent = nullptr);
    ~CallAddressProbe() override;

    // Opens the datagram socket; false and a message when it cannot.
    bool open(QString* error);
    // Checks `callAddress` of `account` for a log-in from `peer`, waiting at most `maxWaitMs`.
    // Returns a ticket, and `done` is called once, later; or 0 and the reason in `why`, and
    // `done` is never called.
    quint64 check(qint64 account, const QString& callAddress, const QString& peer, int maxWaitMs, Done done,
                  QString* why);
    // The caller of `ticket` is gone: `done` will not be called.
    void cancel(quint64 ticket);

    int waiting() const { return int(m_waiting.size()); }
    const std::shared_ptr<ProbeBudget>& budget() const { return m_budget; }
    quint64 sent() const { return m_sent; }

private:
    struct Waiting {
        QHostAddress host;
        QByteArray token;
        Done done;
    };
    void onDatagrams();
    void finish(quint64 ticket, Result result);
    // Takes the check out of the books; nothing when it is not (or no longer) in them.
    std::optional<Waiting> take(quint64 ticket);

    CallCheckSettings m_settings;
    QString m_viaHost;
    QUdpSocket* m_socket = nullptr;
    QHash<quint64, Waiting> m_waiting;
    QHash<QByteArray, quint64> m_ticketOf; // by token
    quint64 m_nextTicket = 1;
    quint64 m_sent = 0;
    std::shared_ptr<ProbeBudget> m_budget;
};

} // namespace chatserver

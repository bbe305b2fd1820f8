#pragma once
// Failed log-ins and other refused requests, throttled so that guessing gets nowhere and yet
// nobody else can keep an account's owner out.
//
// A caller (its address, and its network) that has been refused many times lately is refused
// before anything is looked up. An account that has seen many failed log-ins lately is tried no
// more from the callers those failures came from; any other caller is still heard, so the owner,
// who knows the account's ID and e-mail, logs in from a new address however many strangers
// guess, and a correct log-in is never turned away for others' mistakes. Guessing thus costs one
// fresh address per try once an account is noticed, on top of the caller's own limits; with
// random 15-digit IDs it gets nowhere.
//
// The guard may be asked from several threads at once (the serving loops of one server share it).
//
// Every key is a checked value: the caller's address as the socket gives it, its network, the ID
// of an account that exists. Made-up IDs and e-mail addresses count against the caller only.
#include "chatserver/net/RateLimits.h"

#include <QList>
#include <QString>
#include <mutex>

namespace chatserver {

struct LogInLimits {
    RateLimit perAddress{20, 600'000};  // refusals of one caller
    RateLimit perNetwork{200, 600'000}; // refusals of one network of callers
    RateLimit perAccount{20, 600'000};  // failed log-ins naming one account, from anywhere
    NetworkPrefixes prefixes;
};

class LogInGuard {
public:
    explicit LogInGuard(LogInLimits limits = {});
    void setLimits(const LogInLimits& limits);
    // Bounds each table of buckets (tests make it small to see the oldest go).
    void setCapacity(qsizetype buckets);

    // What stands against requests from `peer` now: nothing (None), or its own or its network's
    // refusals.
    NetworkLimit::Level sourceRefused(const QString& peer, qint64 nowMs) const;
    // A request from `peer` that was refused.
    void refused(const QString& peer, qint64 nowMs);

    // False when `accountId` has seen many failed log-ins lately and one of them came from `peer`.
    bool accountMayTry(qint64 accountId, const QString& peer, qint64 nowMs) const;
    // A failed log-in from `peer` naming these accounts (by their ID or e-mail address; none when
    // it named no account that exists). Counts as a refusal of `peer` too.
    void logInFailed(const QList<qint64>& accounts, const QString& peer, qint64 nowMs);

private:
    QString failedFromKey(qint64 accountId, const QString& peer) const;

    NetworkLimit m_sources;
    mutable std::mutex m_mutex;
    TokenBuckets m_accounts;   // by account ID
    TokenBuckets m_failedFrom; // by account ID and caller: a token gone while its failure is recent
};

} // namespace chatserver

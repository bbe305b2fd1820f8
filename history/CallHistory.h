#pragma once
// The call history: one row per call, in or out, in an SQLite file of its own beside the settings
// files. A call's row is written when it starts ringing or is placed and completed when it ends,
// each write a transaction of its own, so a crash or a full disk loses at most the call in
// progress. The newest rows are kept, up to a cap, so a peer calling over and over cannot make
// the file (or the list showing it) grow without end; unanswered calls from one address within an
// hour fold into one row that counts them, and when the cap is reached strangers' rows go first,
// so that no stranger can push the user's contacts out of the history.
#include "core/CallActivity.h"

#include <QDateTime>
#include <QHash>
#include <QString>
#include <optional>
#include <vector>

struct sqlite3;

namespace history {

struct CallRecord {
    qint64 id = 0;
    QDateTime started;
    qint64 seconds = 0; // from the answer to the end; 0 for a call that never connected
    bool incoming = false;
    // Empty while the call runs. A call the program never saw end (it stopped meanwhile) is
    // closed at the next start: answered when it had connected, else missed or failed.
    std::optional<CallActivity::Outcome> outcome;
    QString name;
    QString email;
    QString address;
    QString security;  // as CallActivity::security
    bool seen = false; // a missed call the user has had on screen
    int repeats = 1;   // calls this row stands for: unanswered calls from one address fold into one
    bool contact = false;
};

class CallHistory {
public:
    static constexpr int kDefaultMaxRows = 1000;
    // The longest name, e-mail or address kept; peers choose these texts.
    static constexpr qsizetype kMaxFieldChars = 256;

    // Opens (or creates) the file; a history that cannot be opened records nothing and says why
    // in error().
    explicit CallHistory(const QString& path, int maxRows = kDefaultMaxRows);
    ~CallHistory();
    CallHistory(const CallHistory&) = delete;
    CallHistory& operator=(const CallHistory&) = delete;

    bool isOpen() const { return m_db != nullptr; }
    // The last failure, empty while everything was written.
    const QString& error() const { return m_error; }

    // Takes one report of a call, timed by vb::Now(). Returns the call's row as it stands now
    // (nothing when it could not be written).
    std::optional<CallRecord> record(const CallActivity& activity);

    // The rows, newest first.
    std::vector<CallRecord> records() const;
    int unseenMissed() const;
    void markAllSeen();
    int maxRows() const { return m_maxRows; }
    // Counts the rows folded into others or trimmed so far: a list showing the rows must then be
    // read again.
    quint64 removals() const { return m_removals; }
    // How long unanswered calls from one address keep folding into the same row.
    static constexpr qint64 kFoldMs = qint64{60} * 60 * 1000;

private:
    std::optional<CallRecord> write(const CallActivity& activity);
    bool exec(const char* sql);
    void writeSecurity(const CallActivity& activity, qint64 id);
    void fail(const char* what);
    std::optional<CallRecord> fetch(qint64 id) const;
    void trim();
    qint64 insert(const CallActivity& activity, qint64 now);
    // Takes the latest earlier row of the same caller that the ended call's row may join into
    // that row (`id`), which then counts its calls too.
    void fold(qint64 id, const CallActivity& activity, qint64 now);
    bool hasColumn(const char* name);

    sqlite3* m_db = nullptr;
    int m_maxRows;
    QString m_error;
    quint64 m_removals = 0;
    // Rows of the calls of this run not yet ended, by the window's call serial.
    QHash<quint64, qint64> m_open;
};

// "Answered", "Missed", ... as the history shows them; "In progress" for none.
QString outcomeText(const std::optional<CallActivity::Outcome>& outcome);

} // namespace history

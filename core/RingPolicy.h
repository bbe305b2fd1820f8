#pragma once
// Whether an incoming call may ring. Two settings of the user, kept in RTC_Ring.kvo beside the
// other settings files, scrambled as they are ("Do not disturb": nobody rings; "Only my contacts may ring"), and a
// short memory of strangers who keep calling: one whose calls went unanswered a few times lately is turned away
// quietly, without a ring, until it has left the user alone for a while.
#include <QHash>
#include <QString>
#include <deque>

namespace basMain {

struct RingSettings {
    bool doNotDisturb = false;
    bool contactsOnly = false;
};

QString ringSettingsFilePath();
// The settings kept in RTC_Ring.kvo; both off when it is missing or unreadable.
RingSettings readRingSettings();
// Raises as the other settings files do when the file cannot be written.
void writeRingSettings(const RingSettings& settings);

class RingPolicy {
public:
    enum class Decision {
        Ring,
        DoNotDisturb, // the user asked for quiet
        NotAContact,  // only contacts may ring
        RepeatCaller, // a stranger who keeps calling
    };
    static constexpr int kUnansweredTries = 3;
    static constexpr qint64 kQuietMs = qint64{10} * 60 * 1000;
    static constexpr int kRememberedCallers = 256;

    RingSettings settings;

    // `host`: who the call came from: the network address without its port, or a relay's call
    // address whole (a relay keeps one port for each of its users).
    Decision decide(bool contact, const QString& host, qint64 nowMs) const;
    // A call from a stranger at `host` was not answered (or was turned away).
    void noteUnanswered(bool contact, const QString& host, qint64 nowMs);

private:
    struct Tries {
        int count = 0;
        qint64 lastMs = 0;
    };
    QHash<QString, Tries> m_tries;
    std::deque<QString> m_order;
};

} // namespace basMain

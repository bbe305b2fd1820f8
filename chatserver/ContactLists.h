#pragma once
// The contact lists of the users who poll, kept in memory by a serving loop: a poll reads only
// the user's own row with its list's version (see PollView::listVersion) and takes the list from
// here while the version is the same. Lists of users who stopped polling age out.
#include "chatserver/store/Storage.h"

#include <QHash>

namespace chatserver {

class ContactLists {
public:
    // A list unused for about `keepMs` (between one and two of it) is forgotten.
    explicit ContactLists(qint64 keepMs) : m_keepMs(keepMs) {}

    struct Kept {
        qint64 version = 0;
        qint64 readAtMs = 0;
        QList<UserRecord> contacts;
    };
    // The list kept for `id` at `version`, or null.
    Kept* find(qint64 id, qint64 version, qint64 nowMs);
    void keep(qint64 id, Kept list, qint64 nowMs);
    qsizetype size() const { return m_current.size() + m_before.size(); }

private:
    void age(qint64 nowMs);

    qint64 m_keepMs;
    qint64 m_since = 0;
    // Two generations: a list used in this one moves here from the one before, which is dropped
    // as a whole; no walk over every list to find the old ones.
    QHash<qint64, Kept> m_current;
    QHash<qint64, Kept> m_before;
};

} // namespace chatserver

#pragma once
// The contact lists of the users who poll, kept in memory by a serving loop: a poll reads only
// the user's own row with its list's version (see PollView::listVersion) and takes the list from
// here while the version is the same. Each contact's record is kept once, shared by every list
// that holds it, and brought up to date by whichever of them is read next. Lists and records
// unused for a while age out.
#include "chatserver/store/Storage.h"

#include <QHash>
#include <functional>
#include <memory>

namespace chatserver {

class ContactLists {
public:
    // A list unused for about `keepMs` (between one and two of it) is forgotten.
    explicit ContactLists(qint64 keepMs) : m_keepMs(keepMs) {}

    struct Entry {
        std::shared_ptr<UserRecord> contact; // its own columns only (see Columns::Contact)
        qint64 handle = 0;                   // what the list's owner is shown in place of its ID
        bool mutual = false;                 // it lists the owner too
    };
    struct Kept {
        qint64 version = 0;
        qint64 readAtMs = 0;
        QList<Entry> entries;
    };
    // The list kept for `id` at `version`, or null.
    Kept* find(qint64 id, qint64 version, qint64 nowMs);
    // Keeps the list just read; `handleOf` gives an entry from before handles were kept its own.
    Kept& keep(const PollView& view, qint64 nowMs, const std::function<qint64(const UserRecord&)>& handleOf);

private:
    void age(qint64 nowMs);
    std::shared_ptr<UserRecord> shared(const UserRecord& contact);

    qint64 m_keepMs;
    qint64 m_since = 0;
    // Two generations: what is used in this one moves here from the one before, which is
    // dropped as a whole; no walk over every list to find the old ones.
    QHash<qint64, Kept> m_lists, m_listsBefore;
    QHash<qint64, std::weak_ptr<UserRecord>> m_contacts, m_contactsBefore;
};

} // namespace chatserver

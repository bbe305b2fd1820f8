#include "chatserver/ContactLists.h"

#include <algorithm>

namespace chatserver {

void ContactLists::age(qint64 nowMs) {
    if (m_since == 0) m_since = nowMs;
    if (nowMs - m_since < m_keepMs) return;
    m_listsBefore = std::exchange(m_lists, {});
    m_contactsBefore = std::exchange(m_contacts, {});
    m_since = nowMs;
}

ContactLists::Kept* ContactLists::find(qint64 id, qint64 version, qint64 nowMs) {
    age(nowMs);
    auto it = m_lists.find(id);
    if (it == m_lists.end()) {
        const auto old = m_listsBefore.find(id);
        if (old == m_listsBefore.end()) return nullptr;
        it = m_lists.emplace(id, std::move(old.value()));
        m_listsBefore.erase(old);
    }
    return it->version == version ? &it.value() : nullptr;
}

std::shared_ptr<UserRecord> ContactLists::shared(const UserRecord& contact) {
    std::shared_ptr<UserRecord> kept = m_contacts.value(contact.id).lock();
    if (!kept) kept = m_contactsBefore.value(contact.id).lock();
    if (!kept) {
        kept = std::make_shared<UserRecord>(contact);
    } else {
        // Read just now: newer than what any list holding it was read with, but for a last-seen
        // time noted since.
        const qint64 seen = std::max(kept->lastSeenMs, contact.lastSeenMs);
        *kept = contact;
        kept->lastSeenMs = seen;
    }
    kept->handle = 0;
    kept->mutual = false;
    m_contacts.insert(contact.id, kept);
    return kept;
}

ContactLists::Kept& ContactLists::keep(const PollView& view, qint64 nowMs,
                                       const std::function<qint64(const UserRecord&)>& handleOf) {
    age(nowMs);
    Kept list{view.listVersion, nowMs, {}};
    list.entries.reserve(view.contacts.size());
    for (const UserRecord& contact : view.contacts)
        list.entries.append({shared(contact), handleOf(contact), contact.mutual});
    m_listsBefore.remove(view.user.id);
    return m_lists.emplace(view.user.id, std::move(list)).value();
}

} // namespace chatserver

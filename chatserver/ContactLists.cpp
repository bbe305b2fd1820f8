#include "chatserver/ContactLists.h"

#include <algorithm>

namespace chatserver {

namespace {

// What `id` has in `now`, moved there from `before` if it was used in the generation before.
template <typename Value> Value* inUse(QHash<qint64, Value>& now, QHash<qint64, Value>& before, qint64 id) {
    auto it = now.find(id);
    if (it == now.end()) {
        const auto old = before.find(id);
        if (old == before.end()) return nullptr;
        it = now.emplace(id, std::move(old.value()));
        before.erase(old);
    }
    return &it.value();
}

} // namespace

void ContactLists::age(qint64 nowMs) {
    if (m_since == 0) m_since = nowMs;
    if (nowMs - m_since < m_keepMs) return;
    m_listsBefore = std::exchange(m_lists, {});
    m_contactsBefore = std::exchange(m_contacts, {});
    m_headsBefore = std::exchange(m_heads, {});
    m_since = nowMs;
}

ContactLists::Kept* ContactLists::find(qint64 id, qint64 version, qint64 nowMs) {
    age(nowMs);
    Kept* const kept = inUse(m_lists, m_listsBefore, id);
    return kept && kept->version == version ? kept : nullptr;
}

const PollView* ContactLists::head(qint64 id, qint64 nowMs) {
    age(nowMs);
    return inUse(m_heads, m_headsBefore, id);
}

void ContactLists::keepHead(const PollView& head, qint64 nowMs) {
    age(nowMs);
    m_headsBefore.remove(head.user.id);
    m_heads.insert(head.user.id, head);
}

void ContactLists::forgetHeads(const QList<qint64>& ids) {
    for (const qint64 id : ids) {
        m_heads.remove(id);
        m_headsBefore.remove(id);
    }
}

void ContactLists::forgetHeads() {
    m_heads.clear();
    m_headsBefore.clear();
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

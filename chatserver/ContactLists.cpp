#include "chatserver/ContactLists.h"

namespace chatserver {

void ContactLists::age(qint64 nowMs) {
    if (m_since == 0) m_since = nowMs;
    if (nowMs - m_since < m_keepMs) return;
    m_before = std::move(m_current);
    m_current = {};
    m_since = nowMs;
}

ContactLists::Kept* ContactLists::find(qint64 id, qint64 version, qint64 nowMs) {
    age(nowMs);
    auto it = m_current.find(id);
    if (it == m_current.end()) {
        const auto old = m_before.find(id);
        if (old == m_before.end()) return nullptr;
        it = m_current.insert(id, std::move(old.value()));
        m_before.erase(old);
    }
    return it->version == version ? &it.value() : nullptr;
}

void ContactLists::keep(qint64 id, Kept list, qint64 nowMs) {
    age(nowMs);
    m_before.remove(id);
    m_current.insert(id, std::move(list));
}

} // namespace chatserver

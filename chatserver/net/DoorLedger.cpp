#include "chatserver/net/DoorLedger.h"

namespace chatserver {

DoorLedger::DoorLedger(const Caps& caps)
    : m_caps(caps), m_rate({caps.connections, caps.networkConnections, {}}, caps.prefixes) {}

const char* DoorLedger::admit(const DoorKeys& keys, qint64 nowMs) {
    const std::lock_guard lock(m_mutex);
    if (m_caps.perAddress > 0 && m_perAddress.value(keys.address) >= m_caps.perAddress)
        return "too many connections from it";
    if (m_caps.perNetwork > 0 && m_perNetwork.value(keys.network) >= m_caps.perNetwork)
        return "too many connections from its network";
    if (m_caps.pendingBytesPerAddress > 0 && m_pendingBytes.value(keys.address) >= m_caps.pendingBytesPerAddress)
        return "too many answers not taken";
    switch (m_rate.take(keys.address, keys.network, nowMs)) {
    case NetworkLimit::Level::None:
        break;
    case NetworkLimit::Level::Address:
        return "too many new connections from it";
    default:
        return "too many new connections from its network";
    }
    ++m_perAddress[keys.address];
    if (!keys.network.isEmpty()) ++m_perNetwork[keys.network];
    return nullptr;
}

void DoorLedger::release(const DoorKeys& keys, qint64 charged) {
    const auto uncount = [](auto& counts, const QString& key, auto by) {
        const auto count = counts.find(key);
        if (count != counts.end() && (count.value() -= by) <= 0) counts.erase(count);
    };
    const std::lock_guard lock(m_mutex);
    uncount(m_perAddress, keys.address, 1);
    if (!keys.network.isEmpty()) uncount(m_perNetwork, keys.network, 1);
    if (charged > 0) uncount(m_pendingBytes, keys.address, charged);
}

void DoorLedger::charge(const QString& addressKey, qint64 bytes) {
    const std::lock_guard lock(m_mutex);
    m_pendingBytes[addressKey] += bytes;
}

bool DoorLedger::takeSlot(int cap) {
    int open = m_open.load();
    do {
        if (cap > 0 && open >= cap) return false;
    } while (!m_open.compare_exchange_weak(open, open + 1));
    return true;
}

int DoorLedger::openFrom(const QString& addressKey) const {
    const std::lock_guard lock(m_mutex);
    return m_perAddress.value(addressKey);
}

} // namespace chatserver

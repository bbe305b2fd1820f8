#include "core/RingPolicy.h"

#include "core/SettingsFiles.h"
#include "platform/vb.h"

namespace basMain {

namespace {

const QString kDoNotDisturb = QStringLiteral("do-not-disturb");
const QString kContactsOnly = QStringLiteral("only-contacts-ring");

} // namespace

QString ringSettingsFilePath() {
    return vb::AppPath() + QStringLiteral("/RTC_Ring.kvo");
}

RingSettings readRingSettings() {
    const QHash<QString, bool> switches = readSwitchesFile(ringSettingsFilePath());
    return {switches.value(kDoNotDisturb), switches.value(kContactsOnly)};
}

void writeRingSettings(const RingSettings& settings) {
    writeSwitchesFile(ringSettingsFilePath(),
                      {{kDoNotDisturb, settings.doNotDisturb}, {kContactsOnly, settings.contactsOnly}});
}

RingPolicy::Decision RingPolicy::decide(bool contact, const QString& host, qint64 nowMs) const {
    if (settings.doNotDisturb) return Decision::DoNotDisturb;
    if (contact) return Decision::Ring;
    if (settings.contactsOnly) return Decision::NotAContact;
    const auto tries = m_tries.constFind(host);
    if (tries != m_tries.cend() && tries->count >= kUnansweredTries && nowMs - tries->lastMs < kQuietMs)
        return Decision::RepeatCaller;
    return Decision::Ring;
}

void RingPolicy::noteUnanswered(bool contact, const QString& host, qint64 nowMs) {
    if (contact || host.isEmpty()) return;
    auto tries = m_tries.find(host);
    if (tries == m_tries.end()) {
        if (m_order.size() >= size_t(kRememberedCallers)) {
            m_tries.remove(m_order.front());
            m_order.pop_front();
        }
        m_order.push_back(host);
        tries = m_tries.insert(host, {});
    }
    // A stranger quiet for a while starts again from nothing; one who keeps calling stays refused
    // for as long as it goes on, each try counting from the last.
    if (nowMs - tries->lastMs >= kQuietMs) tries->count = 0;
    ++tries->count;
    tries->lastMs = nowMs;
}

} // namespace basMain

#include "core/RingPolicy.h"

#include "core/SettingsFiles.h"
#include "platform/vb.h"
#include "wire/Codepage.h"
#include "wire/Scramble.h"

#include <QFile>

namespace basMain {

namespace {

// One line per setting, "name=0" or "name=1", scrambled as the other files are; a later version
// can add lines an earlier one ignores.
const QString kDoNotDisturb = QStringLiteral("do-not-disturb");
const QString kContactsOnly = QStringLiteral("only-contacts-ring");
constexpr qint64 kMaxFileBytes = 4096;

} // namespace

QString ringSettingsFilePath() {
    return vb::AppPath() + QStringLiteral("/RTC_Ring.kvo");
}

RingSettings readRingSettings() {
    RingSettings settings;
    QFile file(ringSettingsFilePath());
    if (!file.open(QIODevice::ReadOnly)) return settings;
    const QString plain = wire::unscrambled(wire::fromCp1252(file.read(kMaxFileBytes)));
    for (const QString& line : plain.split(QLatin1Char('\n'))) {
        const QString name = line.section(QLatin1Char('='), 0, 0).trimmed();
        const bool on = line.section(QLatin1Char('='), 1).trimmed() == QLatin1String("1");
        if (name == kDoNotDisturb) settings.doNotDisturb = on;
        if (name == kContactsOnly) settings.contactsOnly = on;
    }
    return settings;
}

void writeRingSettings(const RingSettings& settings) {
    const QString plain = kDoNotDisturb +
                          (settings.doNotDisturb ? QStringLiteral("=1\r\n") : QStringLiteral("=0\r\n")) +
                          kContactsOnly + (settings.contactsOnly ? QStringLiteral("=1\r\n") : QStringLiteral("=0\r\n"));
    replaceSettingsFile(ringSettingsFilePath(), wire::toCp1252(wire::scrambled(plain)));
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

#include "core/ServerKeys.h"

#include "core/ErrorLog.h"
#include "core/TrustStore.h"

#include <QDir>

namespace basMain {

namespace {

// Pins are kept as the digest's hex digits alone.
QByteArray digits(const QString& fingerprint) {
    return fingerprint.toLatin1().replace(':', QByteArray()).toLower();
}

} // namespace

QString PinnedServers::plainText(const QString& hostPort) {
    return QStringLiteral("The chat server at ") + hostPort +
           QStringLiteral(" offers no encrypted connection (an older server): ColloqChat talks to it unencrypted, "
                          "so anyone on the network path can read your ID and e-mail address.");
}

ServerTrust::Approach PinnedServers::approach(const QString& hostPort) {
    if (!trust::pinnedCertificate(hostPort).isEmpty()) return Approach::TlsOnly;
    return m_plain.contains(hostPort) ? Approach::Plain : Approach::TlsFirst;
}

bool PinnedServers::trustKey(const QString& hostPort, const QString& fingerprint, bool systemTrusted, QString* why) {
    const QByteArray pinned = trust::pinnedCertificate(hostPort);
    const QByteArray shown = digits(fingerprint);
    if (pinned == shown) return true;
    if (!pinned.isEmpty() && !systemTrusted) {
        if (why)
            *why = QStringLiteral("The chat server at ") + hostPort +
                   QStringLiteral(" shows another key than the one ColloqChat has trusted since it first answered "
                                  "encrypted (now SHA-256 ") +
                   fingerprint +
                   QStringLiteral("). Someone may be impersonating the server, so nothing was sent. If the server's "
                                  "operator confirms that this is its new key, remove the line of ") +
                   hostPort + QStringLiteral(" from ") + QDir::toNativeSeparators(trust::trustFilePath()) +
                   QStringLiteral(" and start ColloqChat again.");
        return false;
    }
    // The first key seen, or one a certificate authority of the system vouches for: kept.
    trySkip(QStringLiteral("PinnedServers_trustKey"), [&] { trust::pinCertificate(hostPort, shown); });
    return true;
}

bool PinnedServers::mayGoPlain(const QString& hostPort, QString* why) {
    if (!trust::pinnedCertificate(hostPort).isEmpty()) {
        if (why)
            *why = QStringLiteral("The chat server at ") + hostPort +
                   QStringLiteral(" has answered encrypted before, but no encrypted connection to it can be had now, "
                                  "so nothing was sent: your ID and e-mail address stay off the network. Someone on "
                                  "the network may be in the way; ColloqChat tries again at the next poll.");
        return false;
    }
    if (!m_plain.contains(hostPort)) {
        m_plain.insert(hostPort);
        if (m_wentPlain) m_wentPlain(plainText(hostPort));
    }
    return true;
}

namespace {
QString hostOf(const QString& hostPort) {
    return hostPort.section(QLatin1Char(':'), 0, -2);
}
} // namespace

ServerTrust::Approach PinnedWebHosts::approach(const QString& hostPort) {
    if (!trust::pinnedCertificatesOfHost(hostOf(hostPort)).isEmpty()) return Approach::TlsOnly;
    return g_blnWebCarriesId && trust::anyPinnedCertificate() ? Approach::TlsOnly : Approach::Plain;
}

bool PinnedWebHosts::trustKey(const QString& hostPort, const QString& fingerprint, bool systemTrusted, QString* why) {
    if (systemTrusted || trust::pinnedCertificatesOfHost(hostOf(hostPort)).contains(digits(fingerprint))) return true;
    if (why)
        *why = QStringLiteral("The web pages at ") + hostOf(hostPort) +
               QStringLiteral(" show a key that is not their chat server's (SHA-256 ") + fingerprint +
               QStringLiteral("): nothing was sent.");
    return false;
}

bool PinnedWebHosts::mayGoPlain(const QString& hostPort, QString* why) {
    if (why)
        *why = QStringLiteral("The web pages at ") + hostOf(hostPort) +
               QStringLiteral(" cannot be reached encrypted, and what ColloqChat would ask them carries your ID: "
                              "nothing was sent.");
    return false;
}

} // namespace basMain

// Encrypted calls as the user sees them, on the real engine against linphonec and recorded on the
// wire: ZRTP by default with the same short authentication string at both ends and no media in
// the clear, the verified mark kept for the contact and a changed key shown as a warning, a peer
// that cannot encrypt (a path that drops ZRTP) connecting "not encrypted" or refused, and the
// peers' offers of SDES and DTLS-SRTP taken encrypted.
#include "EngineWindow.h"
#include "callui/CallSecurityPanel.h"
#include "core/TrustStore.h"
#include "platform/widgets/Controls.h"
#include "support/Linphonec.h"
#include "support/PacketCapture.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QLabel>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <optional>

using testsupport::CapturedPacket;
using testsupport::Linphonec;

namespace {

// The main window on the real engine, with Ann as its one contact.
struct SecureWindow : enginewindow::EngineWindow {
    explicit SecureWindow(bool encryptedOnly = false)
        : EngineWindow([encryptedOnly](frmMain& window) {
              window.setIdentity({.email = QStringLiteral("zoe@x.org")});
              window.chkEncryptedOnly->setChecked(encryptedOnly);
          }) {}
    QString verdict() const { return form.panelSecurity->lblCallSecurity->text(); }
    bool says(const QString& text, int timeoutMs = 30000) {
        return testenv::waitFor([&] { return verdict().contains(text); }, timeoutMs);
    }
    bool hangUpAndWait() {
        if (form.cmdTerminate->isEnabled()) form.cmdTerminate->click();
        return testenv::waitFor([&] { return !form.g_objSession && !form.g_blnCallConnected; }, 30000);
    }
    // The newest call of the History tab: its result and its encryption.
    QString lastCall() const {
        const QStringList row = enginewindow::historyRow(form);
        return row.isEmpty() ? QString()
                             : row[history::CallHistoryView::kResult] + QStringLiteral(" | ") +
                                   row[history::CallHistoryView::kEncryption];
    }
};

// The short authentication string linphonec printed for its call.
QString codeOf(Linphonec& peer) {
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("fully encrypted and auth token is (\\S+)\\.")).match(peer.output());
    return match.hasMatch() ? match.captured(1) : QString();
}

// Where linphonec receives a call's sound (its default, free in the test's own namespace).
constexpr quint16 kLinphonecAudioPort = 7078;

} // namespace

// ZRTP with linphonec, and then on a path that drops ZRTP (a peer that cannot encrypt, as no key
// exchange ever ends), all recorded on the wire.
TEST(CallSecurity, ZrtpShowsOneCodeAtBothEndsAndAPeerThatCannotEncryptIsToldOrRefused) {
    if (!testsupport::haveLinphonec() || !testsupport::labAvailable())
        GTEST_SKIP() << "needs linphonec, tcpdump and nft in a namespace of the test's own";
    const struct {
        bool zrtpDropped;
        bool encryptedOnly;
        const char* verdict;
        const char* history;
    } cases[] = {
        {false, false, "Read this code aloud to Ann", "Answered | ZRTP"},
        {true, false, "Not encrypted: anyone on the network between you and Ann can listen",
         "Answered | not encrypted"},
        {true, true, "Refused: the call with Ann could not be encrypted, and you take encrypted calls only",
         "Answered | not encrypted, refused"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.verdict);
        std::optional<testsupport::ZrtpBlocked> noZrtp;
        if (c.zrtpDropped) {
            ASSERT_TRUE(noZrtp.emplace().active());
        }
        SecureWindow window(c.encryptedOnly);
        testsupport::PacketCapture capture;
        ASSERT_TRUE(capture.started());
        Linphonec peer(true);
        ASSERT_TRUE(peer.started());
        window.call(peer.address());
        ASSERT_TRUE(window.says(QString::fromLatin1(c.verdict))) << window.verdict().toStdString();
        if (c.zrtpDropped) {
            EXPECT_EQ(vb::ForeColor(*window.form.panelSecurity->lblCallSecurity), vb::vbRed);
        } else {
            ASSERT_TRUE(peer.says(QStringLiteral("fully encrypted"))) << peer.output().toStdString();
            const QString code = codeOf(peer);
            ASSERT_EQ(code.size(), 4) << peer.output().toStdString();
            EXPECT_TRUE(window.verdict().contains(QStringLiteral("\"") + code + QStringLiteral("\"")))
                << window.verdict().toStdString() << " / " << code.toStdString();
        }
        if (c.encryptedOnly) {
            EXPECT_TRUE(peer.says(QStringLiteral("ended"))) << peer.output().toStdString();
            EXPECT_TRUE(testenv::waitFor([&] { return !window.form.g_objSession; }, 30000));
        } else {
            testenv::waitFor([] { return false; }, 1500); // some sound goes both ways
            EXPECT_TRUE(window.caption().startsWith(QStringLiteral("Status: CONNECTED")));
        }
        ASSERT_TRUE(window.hangUpAndWait());
        EXPECT_EQ(window.lastCall(), QString::fromLatin1(c.history));

        const QList<CapturedPacket> packets =
            testsupport::mediaPackets(capture.stop(), {peer.port, enginewindow::sipPort()});
        QList<CapturedPacket> rtp; // both ways
        QList<CapturedPacket> ours;
        for (const CapturedPacket& packet : packets)
            if (testsupport::isRtpMedia(packet)) {
                rtp.append(packet);
                if (packet.destinationPort == kLinphonecAudioPort) ours.append(packet);
            }
        if (!c.zrtpDropped) {
            // Not one packet of sound before the keys were agreed: the streams held it back.
            EXPECT_TRUE(testsupport::noMediaBeforeKeys(packets));
            ASSERT_GE(rtp.size(), 20);
            EXPECT_FALSE(testsupport::looksPlain(rtp));
        } else if (c.encryptedOnly) {
            EXPECT_TRUE(ours.isEmpty()) << ours.size(); // refused, not a single packet of sound went out
        } else {
            EXPECT_TRUE(testsupport::looksPlain(ours)) << ours.size(); // what the check above tells apart
        }
    }
}

TEST(CallSecurity, TheCodesMatchMarkIsKeptForTheContactAndAnotherKeyLaterIsAWarning) {
    if (!testsupport::haveLinphonec()) GTEST_SKIP() << "linphonec is not installed";
    SecureWindow window;
    {
        Linphonec ann(true);
        ASSERT_TRUE(ann.started());
        window.call(ann.address());
        ASSERT_TRUE(window.says(QStringLiteral("Read this code aloud"))) << window.verdict().toStdString();
        window.form.panelSecurity->cmdSasVerified->click();
        EXPECT_TRUE(window.says(QStringLiteral("Ann's key is the one you verified")));
        EXPECT_TRUE(trust::isContactVerified(QStringLiteral("ANN@x.org")));
        EXPECT_TRUE(window.form.panelSecurity->verifiedAs(QStringLiteral("ann@x.org")));
        ASSERT_TRUE(window.hangUpAndWait());
        EXPECT_EQ(window.lastCall(), QStringLiteral("Answered | ZRTP, verified"));

        // The next call with the same peer and its kept secret needs no reading aloud.
        window.call(ann.address());
        ASSERT_TRUE(window.says(QStringLiteral("Ann's key is the one you verified"))) << window.verdict().toStdString();
        ASSERT_TRUE(window.hangUpAndWait());
    }
    // Ann's address now answers with another key (another ZRTP identity, no kept secret): the
    // window does not take it silently.
    Linphonec stranger(true);
    ASSERT_TRUE(stranger.started());
    window.call(stranger.address());
    ASSERT_TRUE(window.says(QStringLiteral("Warning: Ann's key is not the one you verified")))
        << window.verdict().toStdString();
    EXPECT_EQ(vb::ForeColor(*window.form.panelSecurity->lblCallSecurity), vb::vbRed);
    EXPECT_TRUE(window.form.panelSecurity->cmdSasVerified->isVisibleTo(&window.form));
    EXPECT_FALSE(window.form.panelSecurity->verifiedAs(QStringLiteral("ann@x.org")));
    ASSERT_TRUE(window.hangUpAndWait());
    // The secrets kept with peers are the user's alone.
    const QFileInfo secrets(window.env.path(QStringLiteral("ZrtpSecrets.sqlite")));
    EXPECT_TRUE(secrets.exists());
    EXPECT_FALSE(secrets.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteOther));
}

TEST(CallSecurity, CallersOfferingSdesOrDtlsSrtpAreAnsweredEncrypted) {
    if (!testsupport::haveLinphonec()) GTEST_SKIP() << "linphonec is not installed";
    const struct {
        const char* settings;
        const char* verdict;
    } cases[] = {
        {"media_encryption=srtp\nmedia_encryption_mandatory=1\n", "Encrypted (SRTP)."},
        {"media_encryption=dtls\nmedia_encryption_mandatory=1\n", "Encrypted (DTLS-SRTP)."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings);
        SecureWindow window;
        vb::setValue(*window.form.chkAutoAnswer, vb::vbChecked);
        Linphonec caller(false, "sip:" + enginewindow::sipTarget(), false, 5090,
                         QProcessEnvironment::systemEnvironment(), c.settings);
        ASSERT_TRUE(caller.started());
        ASSERT_TRUE(window.says(QString::fromLatin1(c.verdict)))
            << window.verdict().toStdString() << window.caption().toStdString() << caller.output().toStdString();
        ASSERT_TRUE(window.hangUpAndWait());
    }
}

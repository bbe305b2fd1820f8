// The call engine's devices and the user's side of it: volumes, muting, echo cancelling, the
// video windows, the ring, the tuning dialog and the identity calls carry.
#include "call/linphone/EngineCommon.h"
#include "call/linphone/LinphoneEngine.h"
#include "call/linphone/TuningDialog.h"
#include "call/linphone/VideoWindow.h"
#include "call/rtc/NetworkAddresses.h"
#include "call/rtc/RtcEvents.h"
#include "platform/vb.h"
#include "platform/widgets/MsgBox.h"

#include <QFileInfo>

#include <linphone++/linphone.hh>

#include <pwd.h>
#include <unistd.h>

namespace rtc {

using namespace engine;

namespace {

constexpr long kMaxVolume = 65535;

QString loginName() {
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_name) return QString::fromLocal8Bit(pw->pw_name);
    return QStringLiteral("user");
}

// A SIP user part: letters, digits and the unreserved marks as they are, every other byte of
// the text's UTF-8 %-escaped, so that an e-mail address fits whole ("@" becomes "%40").
QString sipUser(const QString& name) {
    const QByteArray escaped = name.toUtf8().toPercentEncoding("!*'()+");
    return escaped.isEmpty() ? QStringLiteral("user") : QString::fromLatin1(escaped);
}

// The user part of our address: the e-mail address once the window has told it, else the login.
QString userPart(const QString& email) {
    return sipUser(email.isEmpty() ? loginName() : email);
}

// Bounds for what goes into the identity: the longest e-mail address there is, and more than
// any display name a user can register.
constexpr qsizetype kMaxEmailChars = 254;
constexpr qsizetype kMaxDisplayNameChars = 128;

// A text for a header field: no control characters (they could end the header), bounded.
QString headerText(const QString& text, qsizetype maxChars) {
    QString clean;
    for (QChar c : text)
        clean += c.category() == QChar::Other_Control ? QChar(' ') : c;
    return clean.simplified().left(maxChars);
}

void requireAudioDevice(long device) {
    if (device != RTCAD_SPEAKER && device != RTCAD_MICROPHONE)
        vb::raise(kRtcErrInvalidArg, QStringLiteral("Unknown audio device."));
}

} // namespace

void LinphoneEngine::put_PreferredAEC(bool enable) {
    requireRunning();
    if (!hasCaptureDevice()) vb::raise(kRtcErrFail, QStringLiteral("There is no microphone to cancel echo for."));
    m_core->enableEchoCancellation(enable);
}

bool LinphoneEngine::get_PreferredAEC() const {
    requireRunning();
    if (!hasCaptureDevice()) vb::raise(kRtcErrFail, QStringLiteral("There is no microphone to cancel echo for."));
    return m_core->echoCancellationEnabled();
}

long LinphoneEngine::get_Volume(long device) const {
    requireRunning();
    requireAudioDevice(device);
    return device == RTCAD_SPEAKER ? m_speakerVolume : m_micVolume;
}

void LinphoneEngine::put_Volume(long device, long volume) {
    requireRunning();
    requireAudioDevice(device);
    if (volume < 0 || volume > kMaxVolume) vb::raise(kRtcErrInvalidArg, QStringLiteral("Volume out of range."));
    if (device == RTCAD_SPEAKER) {
        m_speakerVolume = volume;
        m_core->setPlaybackGainDb(volumeToGainDb(volume));
    } else {
        m_micVolume = volume;
        m_core->setMicGainDb(volumeToGainDb(volume));
    }
    postSessionless(RTCE_CLIENT, std::make_shared<ClientEventData>(RTCCET_VOLUME_CHANGE));
}

void LinphoneEngine::put_AudioMuted(long device, bool muted) {
    requireRunning();
    requireAudioDevice(device);
    (device == RTCAD_SPEAKER ? m_speakerMuted : m_micMuted) = muted;
    for (const auto& call : m_core->getCalls())
        applyCallSettings(call);
}

bool LinphoneEngine::get_AudioMuted(long device) const {
    requireRunning();
    requireAudioDevice(device);
    return device == RTCAD_SPEAKER ? m_speakerMuted : m_micMuted;
}

std::shared_ptr<IVideoWindow> LinphoneEngine::get_IVideoWindow(long device) {
    requireRunning();
    if (device != RTCVD_RECEIVE && device != RTCVD_PREVIEW)
        vb::raise(kRtcErrInvalidArg, QStringLiteral("Unknown video device."));
    auto& window = device == RTCVD_RECEIVE ? m_receiveWindow : m_previewWindow;
    if (!window) {
        std::weak_ptr<LinphoneEngine> weak = weak_from_this();
        auto bind = [weak, device](void* native) {
            auto self = weak.lock();
            if (!self || !self->m_core || self->m_shutDown) return;
            if (device == RTCVD_RECEIVE) {
                self->m_core->setNativeVideoWindowId(native);
                for (const auto& call : self->m_core->getCalls())
                    call->setNativeVideoWindowId(native);
            } else {
                self->m_core->setNativePreviewWindowId(native);
            }
        };
        window = std::make_shared<LinphoneVideoWindow>(bind, platformShowsVideo());
    }
    return window;
}

void LinphoneEngine::PlayRing(long type, bool play) {
    requireRunning();
    if (type < RTCRT_PHONE || type > RTCRT_RINGBACK) vb::raise(kRtcErrInvalidArg, QStringLiteral("Unknown ring."));
    // Without a loudspeaker there is nothing to ring on; the call itself goes on regardless.
    if (!hasPlaybackDevice()) return;
    if (!play) {
        m_core->stopRinging();
        return;
    }
    const QString file = type == RTCRT_RINGBACK ? kRingbackFile : ringFile();
    if (!file.isEmpty() && QFileInfo::exists(file)) m_core->playLocal(file.toStdString());
}

QString LinphoneEngine::ringFile() const {
    return m_core ? QString::fromStdString(m_core->getRing()) : QString();
}

QString LinphoneEngine::get_LocalUserName() const {
    requireRunning();
    return m_displayName.isEmpty() ? loginName() : m_displayName;
}

QString LinphoneEngine::get_LocalUserURI() const {
    requireRunning();
    return localUri();
}

void LinphoneEngine::SetLocalIdentity(const QString& displayName, const QString& email) {
    requireRunning();
    m_displayName = headerText(displayName, kMaxDisplayNameChars);
    m_email = headerText(email, kMaxEmailChars).remove(QLatin1Char(' '));
    applyIdentity();
}

void LinphoneEngine::applyIdentity() {
    // The identity names the host without a port: a peer reaches us at the port of our contact
    // address, which liblinphone fills in.
    const QString host = localHost().section(QLatin1Char(':'), 0, 0);
    const auto address = m_core->createAddress(("sip:" + userPart() + "@" + host).toStdString());
    if (!address) return; // the identity stays as it was
    if (!m_displayName.isEmpty()) address->setDisplayName(m_displayName.toStdString());
    m_core->setPrimaryContact(address->asString());
}

QString LinphoneEngine::localHost() const {
    const AddressLists lists = classifyAddresses(interfaceAddresses(), m_sipPort);
    return !lists.external.isEmpty()   ? lists.external.first()
           : !lists.internal.isEmpty() ? lists.internal.first()
                                       : QStringLiteral("127.0.0.1:") + QString::number(m_sipPort);
}

QString LinphoneEngine::localUri() const {
    return QStringLiteral("sip:") + userPart() + QStringLiteral("@") + localHost();
}

QString LinphoneEngine::userPart() const {
    return rtc::userPart(m_email);
}

void LinphoneEngine::InvokeTuningWizardEx(QWidget* parent, bool allowAudio, bool allowVideo) {
    requireRunning();
    // The devices are in use while a call runs.
    if (!m_sessions.empty()) vb::raise(kRtcErrUnexpected, QStringLiteral("Tuning is not possible during a call."));
    TuningDialog dialog(parent, *m_core, allowAudio, allowVideo, dataFolder(), kPlayFile, platformShowsVideo());
    if (vb::ShowModal(dialog) == QDialog::Accepted) dialog.applyChoices();
}

} // namespace rtc

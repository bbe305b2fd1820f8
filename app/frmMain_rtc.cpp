// Set-up of the RTC client at start-up, the routing of its events, and client-level events.
#include "app/frmMain.h"
#include "call/control/CallAddress.h"
#include "call/control/CallSteps.h"
#include "call/rtc/CallSecurity.h"
#include "call/rtc/CallerOrigin.h"
#include "callui/CallSecurityControls.h"
#include "callui/CallStatusBar.h"
#include "callui/MediaControls.h"
#include "core/ErrorLog.h"
#include "core/SettingsFiles.h"
#include "core/basMain.h"

#include <QLineEdit>
#include <QPlainTextEdit>

using namespace basMain;
using callengine::eventAs;
using callengine::stepName;

namespace {

// "ActiveX component can't create object": the engine could not be made.
constexpr int kErrCannotCreateObject = 429;

} // namespace

void frmMain::fnInitRTCClient(int& step) {
    step = 11;
    g_objRTCClient = rtc::CreateRTCClient();
    if (!g_objRTCClient) vb::raise(kErrCannotCreateObject, QStringLiteral("ActiveX component can't create object"));
    step = 12;
    m_security->prepare(*g_objRTCClient);
    g_objRTCClient->InitializeEx(rtc::RTCIF_DISABLE_UPNP);
    // Every peer sees who calls: the user's display name and e-mail address.
    trySkip({}, [this] { g_objRTCClient->SetLocalIdentity(m_identity.displayName, m_identity.email); });
    step = 14;
    g_objRTCClient->put_EventFilter(rtc::kProgramEventFilter | rtc::kSecurityEventFilter);
    step = 22;
    g_objRTCClient->setEventSink(
        [this](long kind, std::shared_ptr<rtc::IRTCEvent> event) { g_objRTCClientWithEvents_Event(kind, event); });
    g_objRTCClientWithEvents = true;
    step = 24;
    const long mediaCaps = g_objRTCClient->get_MediaCapabilities();
    step = 25;
    m_media->fnMediaSupp(mediaCaps);
    barCallStatus->setSoundDevices((mediaCaps & rtc::RTCMT_AUDIO_SEND) != 0,
                                   (mediaCaps & rtc::RTCMT_AUDIO_RECEIVE) != 0);

    step = 40;
    const QStringList external = g_objRTCClient->get_NetworkAddresses(false, true);
    step = 42;
    const QStringList internal = g_objRTCClient->get_NetworkAddresses(false, false);
    txtStatus->setPlainText(QStringLiteral("TCP: "));
    const QString callAddress =
        callcontrol::listenAtCallAddress(*g_objRTCClient, g_strMyWanIP, external, internal, step);
    step = 170;
    if (!callAddress.isEmpty()) {
        step = 175;
        g_strMyWanIP = callAddress;
    }
}

void frmMain::g_objRTCClientWithEvents_Event(long RTCEvent, const std::shared_ptr<rtc::IRTCEvent>& pEvent) {
    int step = 1;
    try {
        // Each handler gets its own reference; ours goes when the handler returns.
        std::shared_ptr<rtc::IRTCEvent> event = pEvent;
        switch (RTCEvent) {
        case rtc::RTCE_CLIENT:
            step = 5;
            ClientEvent(event);
            break;
        case rtc::RTCE_SESSION_STATE_CHANGE:
            step = 2;
            SessionStateEvent(event);
            break;
        case rtc::RTCE_MEDIA:
            step = 3;
            m_media->MediaEvent(event);
            break;
        case rtc::RTCE_SESSION_SECURITY:
            step = 7;
            m_security->SecurityEvent(event);
            break;
        case rtc::RTCE_MESSAGING:
            step = 4; // typed messages have no handler
            break;
        default: {
            step = 6;
            long kind = RTCEvent;
            Receive_Event(kind, event);
            break;
        }
        }
    } catch (const std::exception& error) {
        logCaught(stepName("g_objRTCClientWithEvents_Event", step), error);
    }
}

void frmMain::ClientEvent(const std::shared_ptr<rtc::IRTCEvent>& pEvent) {
    int step = 0;
    try {
        const auto event = eventAs<rtc::IRTCClientEvent>(pEvent);
        switch (event->get_EventType()) {
        case rtc::RTCCET_VOLUME_CHANGE:
            break;
        case rtc::RTCCET_DEVICE_CHANGE:
            txtStatus->setPlainText(QStringLiteral("The configuration of the streaming-related devices has changed."));
            break;
        case rtc::RTCCET_NETWORK_QUALITY_CHANGE: {
            step = 1;
            const qint16 quality = vb::CInt(double(callengine::required(g_objRTCClient)->get_NetworkQuality()));
            setWindowTitle(versionCaption() + QStringLiteral(" [Network Quality = ") + QString::number(quality) +
                           QStringLiteral("]"));
            break;
        }
        case rtc::RTCCET_ASYNC_CLEANUP_DONE:
            txtStatus->setPlainText(QStringLiteral("IRTCClient::PrepareForShutdown has completed."));
            break;
        case rtc::RTCCET_REQUEST_REFUSED:
            m_calls->requestRefused(event);
            break;
        default:
            break;
        }
    } catch (const std::exception& error) {
        logCaught(stepName("ClientEvent", step), error);
    }
}

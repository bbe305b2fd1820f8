// Media options, video windows, volume, mute, tuning and stay-on-top of the main window.
#include "app/CallHelpers.h"
#include "app/frmMain.h"
#include "call/control/MediaText.h"
#include "callui/VideoCaptions.h"
#include "callui/VideoViewer.h"
#include "core/ErrorLog.h"
#include "platform/widgets/Controls.h"
#include "platform/widgets/StayOnTop.h"
#include "platform/win32.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QSignalBlocker>
#include <QSlider>

using namespace basMain;
using callengine::eventAs;
using callengine::required;
using callengine::stepName;

namespace {

constexpr int kSliderMax = 65535;

bool checked(const QCheckBox* box) {
    return vb::Value(*box) == vb::vbChecked;
}

// Sets a slider as the program does, without it counting as the user moving the slider.
void setSlider(QSlider& slider, int value) {
    const QSignalBlocker quiet(&slider);
    slider.setMaximum(kSliderMax);
    slider.setValue(value);
}

} // namespace

void frmMain::fnMediaSupp(long lngMediaCaps) {
    if (lngMediaCaps < 0 || lngMediaCaps > 255) return;
    auto statement = [](int step, auto&& body) { trySkip(stepName("fnMediaSupp", step), body); };

    if (lngMediaCaps & rtc::RTCMT_AUDIO_SEND) {
        statement(1, [this] { vb::setValue(*chkOptions[2], vb::vbChecked); });
        // Step 20: without echo cancelling the box is simply not offered.
        bool aec = false;
        bool known = false;
        try {
            aec = required(g_objRTCClient)->get_PreferredAEC();
            known = true;
        } catch (const std::exception&) {
        }
        if (!known) {
            statement(20, [this] {
                chkOptions[5]->setEnabled(false);
                vb::setValue(*chkOptions[5], vb::vbUnchecked);
            });
        } else {
            statement(20, [this] { chkOptions[5]->setEnabled(true); });
            statement(20, [this, aec] { vb::setValue(*chkOptions[5], aec ? vb::vbChecked : vb::vbUnchecked); });
        }
        // Step 21: done with the audio sending side.
    } else {
        statement(1, [this] { chkOptions[2]->setEnabled(false); });
        statement(1, [this] { chkOptions[5]->setEnabled(false); });
    }

    if (lngMediaCaps & rtc::RTCMT_AUDIO_RECEIVE)
        statement(4, [this] { vb::setValue(*chkOptions[4], vb::vbChecked); });
    else
        statement(4, [this] { chkOptions[4]->setEnabled(false); });

    if (lngMediaCaps & rtc::RTCMT_VIDEO_SEND) {
        statement(2, [this] { chkOptions[1]->setEnabled(true); });
        statement(2, [this] { vb::setValue(*chkOptions[1], vb::vbChecked); });
        statement(2, [this] { g_objVideoPreview = required(g_objRTCClient)->get_IVideoWindow(rtc::RTCVD_PREVIEW); });
    } else {
        statement(2, [this] { chkOptions[1]->setEnabled(false); });
    }

    if (lngMediaCaps & rtc::RTCMT_VIDEO_RECEIVE) {
        statement(3, [this] { chkOptions[3]->setEnabled(true); });
        statement(3, [this] { vb::setValue(*chkOptions[3], vb::vbChecked); });
        statement(3, [this] { g_objVideoReceive = required(g_objRTCClient)->get_IVideoWindow(rtc::RTCVD_RECEIVE); });
    } else {
        statement(3, [this] { chkOptions[3]->setEnabled(false); });
    }
}

void frmMain::chkOptions_Click(int Index) {
    // The handler's own changes to the boxes click them again; those clicks are ignored.
    static bool blnBusy = false;
    if (blnBusy) return;
    blnBusy = true;
    struct Unbusy {
        ~Unbusy() { blnBusy = false; }
    } unbusy;
    auto statement = [](int step, auto&& body) { trySkip(stepName("chkOptions_Click", step), body); };

    if (Index == 5) {
        const bool enable = vb::Value(*chkOptions[5]) != vb::vbUnchecked;
        try {
            required(g_objRTCClient)->put_PreferredAEC(enable);
            chkOptions[5]->setEnabled(true);
        } catch (const std::exception&) {
            // No echo cancelling to be had: the box is withdrawn.
            chkOptions[5]->setEnabled(false);
            vb::setValue(*chkOptions[5], vb::vbUnchecked);
        }
        return;
    }

    long types = 0;
    statement(3, [&] {
        if (checked(chkOptions[1])) types = rtc::RTCMT_VIDEO_SEND;
    });
    if (checked(chkOptions[2])) {
        types += rtc::RTCMT_AUDIO_SEND;
        statement(4, [this] { setSlider(*sldMike, int(required(g_objRTCClient)->get_Volume(rtc::RTCAD_MICROPHONE))); });
        statement(4, [this] { sldMike->setEnabled(true); });
        statement(4, [this] { chkMuteMike->setEnabled(true); });
        statement(4, [this] { chkOptions[5]->setEnabled(true); });
    } else {
        statement(4, [this] { chkOptions[5]->setEnabled(false); });
        statement(4, [this] { vb::setValue(*chkOptions[5], vb::vbUnchecked); });
    }
    if (checked(chkOptions[3])) types += rtc::RTCMT_VIDEO_RECEIVE;
    if (checked(chkOptions[4])) {
        types += rtc::RTCMT_AUDIO_RECEIVE;
        statement(5, [this] { chkMuteSpiker->setEnabled(true); });
        statement(5, [this] { setSlider(*sldSpiker, int(required(g_objRTCClient)->get_Volume(rtc::RTCAD_SPEAKER))); });
        statement(5, [this] { sldSpiker->setEnabled(true); });
    }
    statement(7, [this, types] { required(g_objRTCClient)->SetPreferredMediaTypes(types, true); });

    if (Index == 1) {
        if (checked(chkOptions[1]))
            statement(8,
                      [this] { g_objVideoPreview = required(g_objRTCClient)->get_IVideoWindow(rtc::RTCVD_PREVIEW); });
        else
            statement(9, [this] { g_objVideoPreview.reset(); });
    } else if (Index == 3) {
        if (checked(chkOptions[3]))
            statement(10,
                      [this] { g_objVideoReceive = required(g_objRTCClient)->get_IVideoWindow(rtc::RTCVD_RECEIVE); });
        else
            statement(11, [this] { g_objVideoReceive.reset(); });
    }
}

void frmMain::MediaEvent(const std::shared_ptr<rtc::IRTCEvent>& pEvent) {
    // Every failing statement here is skipped without a report.
    std::shared_ptr<rtc::IRTCMediaEvent> event;
    if (!trySkip({}, [&] { event = eventAs<rtc::IRTCMediaEvent>(pEvent); })) return;
    long type = -1;
    long mediaType = 0;
    long reason = rtc::RTCMER_NORMAL;
    trySkip({}, [&] { type = event->get_EventType(); });
    trySkip({}, [&] { mediaType = event->get_MediaType(); });
    trySkip({}, [&] { reason = event->get_EventReason(); });
    if (type == rtc::RTCMET_STOPPED)
        hideVideo(mediaType == rtc::RTCMT_VIDEO_RECEIVE ? g_objVideoReceive : g_objVideoPreview);
    if (type == rtc::RTCMET_STARTED) {
        if (mediaType == rtc::RTCMT_VIDEO_SEND && checked(chkOptions[1])) placeVideo(g_objVideoPreview, picVideoS);
        if (mediaType == rtc::RTCMT_VIDEO_RECEIVE && checked(chkOptions[3])) placeVideo(g_objVideoReceive, picVideoR);
    }
    if (mediaType == rtc::RTCMT_VIDEO_RECEIVE && type != rtc::RTCMET_FAILED)
        captionsVideo->receivedVideo(type == rtc::RTCMET_STARTED && checked(chkOptions[3]));
    const QString text = callcontrol::mediaStatusText(type, mediaType, reason);
    if (!text.isEmpty()) txtStatus->setPlainText(text);
}

void frmMain::chkMuteMike_Click() {
    int step = 1;
    try {
        if (vb::Value(*chkMuteMike) != vb::vbUnchecked) {
            required(g_objRTCClient)->put_AudioMuted(rtc::RTCAD_MICROPHONE, true);
        } else {
            step = 2;
            required(g_objRTCClient)->put_AudioMuted(rtc::RTCAD_MICROPHONE, false);
        }
    } catch (const std::exception& error) {
        logCaught(stepName("chkMuteMike_Click", step), error);
    }
}

void frmMain::chkMuteSpiker_Click() {
    int step = 1;
    try {
        if (vb::Value(*chkMuteSpiker) != vb::vbUnchecked) {
            required(g_objRTCClient)->put_AudioMuted(rtc::RTCAD_SPEAKER, true);
        } else {
            step = 2;
            required(g_objRTCClient)->put_AudioMuted(rtc::RTCAD_SPEAKER, false);
        }
    } catch (const std::exception& error) {
        logCaught(stepName("chkMuteSpiker_Click", step), error);
    }
}

void frmMain::sldMike_Scroll() {
    try {
        required(g_objRTCClient)->put_Volume(rtc::RTCAD_MICROPHONE, sldMike->value());
    } catch (const std::exception& error) {
        logCaught(QStringLiteral("sldMike_Scroll"), error);
    }
}

void frmMain::sldSpiker_Scroll() {
    try {
        required(g_objRTCClient)->put_Volume(rtc::RTCAD_SPEAKER, sldSpiker->value());
    } catch (const std::exception& error) {
        logCaught(QStringLiteral("sldSpiker_Scroll"), error);
    }
}

void frmMain::cmdWizard_Click() {
    int step = 1;
    try {
        QWidget* window = this->window();
        step = 2;
        required(g_objRTCClient)->InvokeTuningWizardEx(window, true, true);
    } catch (const std::exception& error) {
        logCaught(stepName("cmdWizard_Click", step), error);
    }
}

void frmMain::chkStayOnTop_Click() {
    // Position and size stay as they are; only the window's place in the top-most order changes.
    trySkip({}, [this] { win32::SetWindowTopmost(*this, vb::Value(*chkStayOnTop) == vb::vbChecked); });
}

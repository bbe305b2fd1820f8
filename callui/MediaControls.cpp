#include "callui/MediaControls.h"

#include "call/control/CallSteps.h"
#include "call/control/MediaText.h"
#include "callui/VideoCaptions.h"
#include "callui/VideoViewer.h"
#include "core/ErrorLog.h"
#include "platform/widgets/Controls.h"
#include "platform/widgets/StayOnTop.h"
#include "platform/win32.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>

using namespace basMain;
using callengine::eventAs;
using callengine::required;
using callengine::stepName;

namespace {

constexpr int kSliderMax = 65535;

bool checked(const QCheckBox* box) {
    return vb::Value(*box) == vb::vbChecked;
}

template <class Control> Control* named(Control* control, const char* name) {
    control->setObjectName(QString::fromLatin1(name));
    return control;
}

QSlider* volumeSlider(QWidget* parent, const char* name) {
    auto* slider = named(new QSlider(Qt::Horizontal, parent), name);
    slider->setRange(0, kSliderMax);
    slider->setSingleStep(1024);
    slider->setPageStep(8192);
    slider->setEnabled(false);
    return slider;
}

// Sets a slider as the program does, without it counting as the user moving the slider.
void setSlider(QSlider& slider, int value) {
    const QSignalBlocker quiet(&slider);
    slider.setMaximum(kSliderMax);
    slider.setValue(value);
}

} // namespace

MediaControls::VolumeBox MediaControls::buildVolumeBox(QWidget* parent) {
    auto* frame = named(new QGroupBox(QStringLiteral("Set Volume / Mute"), parent), "fraVolume");
    const VolumeBox box{frame, volumeSlider(frame, "sldMike"), volumeSlider(frame, "sldSpiker"),
                        named(new QCheckBox(QStringLiteral("Mute"), frame), "chkMuteMike"),
                        named(new QCheckBox(QStringLiteral("Mute"), frame), "chkMuteSpiker")};
    box.muteMike->setEnabled(false);
    box.muteSpeaker->setEnabled(false);
    auto* grid = new QGridLayout(frame);
    grid->addWidget(new QLabel(QStringLiteral("Mic:"), frame), 0, 0);
    grid->addWidget(box.mike, 0, 1);
    grid->addWidget(box.muteMike, 0, 2);
    grid->addWidget(new QLabel(QStringLiteral("Sp:"), frame), 1, 0);
    grid->addWidget(box.speaker, 1, 1);
    grid->addWidget(box.muteSpeaker, 1, 2);
    grid->setColumnStretch(1, 1);
    return box;
}

MediaControls::OptionsBox MediaControls::buildOptionsBox(QWidget* parent, QCheckBox* (&options)[6]) {
    auto* frame = named(new QGroupBox(QStringLiteral("Call Options"), parent), "fraCallOptions");
    const OptionsBox box{frame, named(new QGroupBox(QStringLiteral("Send"), frame), "fraSend"),
                         named(new QGroupBox(QStringLiteral("Receive"), frame), "fraReceive")};
    const char* const captions[6] = {"Send Recive  Typed MSG", "Video", "Audio", "Video", "Audio", "Audio Echo Cancel"};
    QWidget* const frames[6] = {frame, box.send, box.send, box.receive, box.receive, frame};
    for (int index = 0; index < 6; ++index) {
        options[index] = new QCheckBox(QString::fromLatin1(captions[index]), frames[index]);
        options[index]->setObjectName(QStringLiteral("chkOptions_%1").arg(index));
        options[index]->setProperty("Index", index);
        options[index]->setEnabled(false);
    }
    options[0]->setChecked(true);
    auto* sendBox = new QVBoxLayout(box.send);
    sendBox->addWidget(options[1]);
    sendBox->addWidget(options[2]);
    auto* receiveBox = new QVBoxLayout(box.receive);
    receiveBox->addWidget(options[3]);
    receiveBox->addWidget(options[4]);
    auto* grid = new QGridLayout(frame);
    grid->addWidget(options[5], 0, 0);
    grid->addWidget(options[0], 0, 1);
    grid->addWidget(box.send, 1, 0);
    grid->addWidget(box.receive, 1, 1);
    return box;
}

MediaControls::MediaControls(const Controls& controls, const Engine& engine, std::function<void(const QString&)> status,
                             QWidget* window)
    : QObject(window), m_controls(controls), m_engine(engine), m_status(std::move(status)), m_window(window) {
    // A check box's click handler runs whenever its value changes, by a click or by the program.
    for (int index = 0; index < 6; ++index) {
        connect(m_controls.options[index], &QCheckBox::stateChanged, this, [this, index] {
            trySkip(QStringLiteral("chkOptions_Click"), [this, index] { chkOptions_Click(index); });
        });
    }
    connect(m_controls.muteMike, &QCheckBox::stateChanged, this,
            [this] { mute(*m_controls.muteMike, rtc::RTCAD_MICROPHONE, "chkMuteMike_Click"); });
    connect(m_controls.muteSpeaker, &QCheckBox::stateChanged, this,
            [this] { mute(*m_controls.muteSpeaker, rtc::RTCAD_SPEAKER, "chkMuteSpiker_Click"); });
    connect(m_controls.stayOnTop, &QCheckBox::stateChanged, this, [this] { chkStayOnTop_Click(); });
    connect(m_controls.mike, &QSlider::valueChanged, this,
            [this] { setVolume(*m_controls.mike, rtc::RTCAD_MICROPHONE, "sldMike_Scroll"); });
    connect(m_controls.speaker, &QSlider::valueChanged, this,
            [this] { setVolume(*m_controls.speaker, rtc::RTCAD_SPEAKER, "sldSpiker_Scroll"); });
    connect(m_controls.wizard, &QPushButton::clicked, this, [this] { cmdWizard_Click(); });
}

void MediaControls::fnMediaSupp(long lngMediaCaps) {
    if (lngMediaCaps < 0 || lngMediaCaps > 255) return;
    auto statement = [](int step, auto&& body) { trySkip(stepName("fnMediaSupp", step), body); };

    if (lngMediaCaps & rtc::RTCMT_AUDIO_SEND) {
        statement(1, [this] { vb::setValue(*m_controls.options[2], vb::vbChecked); });
        // Step 20: without echo cancelling the box is simply not offered.
        bool aec = false;
        bool known = false;
        try {
            aec = required(m_engine.client)->get_PreferredAEC();
            known = true;
        } catch (const std::exception&) {
        }
        if (!known) {
            statement(20, [this] {
                m_controls.options[5]->setEnabled(false);
                vb::setValue(*m_controls.options[5], vb::vbUnchecked);
            });
        } else {
            statement(20, [this] { m_controls.options[5]->setEnabled(true); });
            statement(20, [this, aec] { vb::setValue(*m_controls.options[5], aec ? vb::vbChecked : vb::vbUnchecked); });
        }
        // Step 21: done with the audio sending side.
    } else {
        statement(1, [this] { m_controls.options[2]->setEnabled(false); });
        statement(1, [this] { m_controls.options[5]->setEnabled(false); });
    }

    if (lngMediaCaps & rtc::RTCMT_AUDIO_RECEIVE)
        statement(4, [this] { vb::setValue(*m_controls.options[4], vb::vbChecked); });
    else
        statement(4, [this] { m_controls.options[4]->setEnabled(false); });

    // The two video directions differ only in their box, their window and their step.
    struct VideoSide {
        long capability;
        int box;
        rtc::RTC_VIDEO_DEVICE device;
        std::shared_ptr<rtc::IVideoWindow>& window;
        int step;
    };
    const VideoSide sides[] = {{rtc::RTCMT_VIDEO_SEND, 1, rtc::RTCVD_PREVIEW, m_engine.preview, 2},
                               {rtc::RTCMT_VIDEO_RECEIVE, 3, rtc::RTCVD_RECEIVE, m_engine.receive, 3}};
    for (const VideoSide& side : sides) {
        QCheckBox* box = m_controls.options[side.box];
        if (!(lngMediaCaps & side.capability)) {
            statement(side.step, [box] { box->setEnabled(false); });
            continue;
        }
        statement(side.step, [box] { box->setEnabled(true); });
        statement(side.step, [box] { vb::setValue(*box, vb::vbChecked); });
        statement(side.step, [this, &side] { side.window = required(m_engine.client)->get_IVideoWindow(side.device); });
    }
}

void MediaControls::chkOptions_Click(int Index) {
    if (m_optionsBusy) return;
    m_optionsBusy = true;
    struct Unbusy {
        bool& busy;
        ~Unbusy() { busy = false; }
    } unbusy{m_optionsBusy};
    auto statement = [](int step, auto&& body) { trySkip(stepName("chkOptions_Click", step), body); };

    if (Index == 5) {
        const bool enable = vb::Value(*m_controls.options[5]) != vb::vbUnchecked;
        try {
            required(m_engine.client)->put_PreferredAEC(enable);
            m_controls.options[5]->setEnabled(true);
        } catch (const std::exception&) {
            // No echo cancelling to be had: the box is withdrawn.
            m_controls.options[5]->setEnabled(false);
            vb::setValue(*m_controls.options[5], vb::vbUnchecked);
        }
        return;
    }

    long types = 0;
    statement(3, [&] {
        if (checked(m_controls.options[1])) types = rtc::RTCMT_VIDEO_SEND;
    });
    if (checked(m_controls.options[2])) {
        types += rtc::RTCMT_AUDIO_SEND;
        statement(4, [this] {
            setSlider(*m_controls.mike, int(required(m_engine.client)->get_Volume(rtc::RTCAD_MICROPHONE)));
        });
        statement(4, [this] { m_controls.mike->setEnabled(true); });
        statement(4, [this] { m_controls.muteMike->setEnabled(true); });
        statement(4, [this] { m_controls.options[5]->setEnabled(true); });
    } else {
        statement(4, [this] { m_controls.options[5]->setEnabled(false); });
        statement(4, [this] { vb::setValue(*m_controls.options[5], vb::vbUnchecked); });
    }
    if (checked(m_controls.options[3])) types += rtc::RTCMT_VIDEO_RECEIVE;
    if (checked(m_controls.options[4])) {
        types += rtc::RTCMT_AUDIO_RECEIVE;
        statement(5, [this] { m_controls.muteSpeaker->setEnabled(true); });
        statement(5, [this] {
            setSlider(*m_controls.speaker, int(required(m_engine.client)->get_Volume(rtc::RTCAD_SPEAKER)));
        });
        statement(5, [this] { m_controls.speaker->setEnabled(true); });
    }
    statement(7, [this, types] { required(m_engine.client)->SetPreferredMediaTypes(types, true); });

    if (Index == 1) {
        if (checked(m_controls.options[1]))
            statement(8,
                      [this] { m_engine.preview = required(m_engine.client)->get_IVideoWindow(rtc::RTCVD_PREVIEW); });
        else
            statement(9, [this] { m_engine.preview.reset(); });
    } else if (Index == 3) {
        if (checked(m_controls.options[3]))
            statement(10,
                      [this] { m_engine.receive = required(m_engine.client)->get_IVideoWindow(rtc::RTCVD_RECEIVE); });
        else
            statement(11, [this] { m_engine.receive.reset(); });
    }
}

void MediaControls::MediaEvent(const std::shared_ptr<rtc::IRTCEvent>& pEvent) {
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
        hideVideo(mediaType == rtc::RTCMT_VIDEO_RECEIVE ? m_engine.receive : m_engine.preview);
    if (type == rtc::RTCMET_STARTED) {
        if (mediaType == rtc::RTCMT_VIDEO_SEND && checked(m_controls.options[1]))
            placeVideo(m_engine.preview, m_controls.pictureSent);
        if (mediaType == rtc::RTCMT_VIDEO_RECEIVE && checked(m_controls.options[3]))
            placeVideo(m_engine.receive, m_controls.pictureReceived);
    }
    if (mediaType == rtc::RTCMT_VIDEO_RECEIVE && type != rtc::RTCMET_FAILED)
        m_controls.captions->receivedVideo(type == rtc::RTCMET_STARTED && checked(m_controls.options[3]));
    const QString text = callcontrol::mediaStatusText(type, mediaType, reason);
    if (!text.isEmpty()) m_status(text);
}

void MediaControls::mute(QCheckBox& box, long device, const char* handler) {
    int step = 1;
    try {
        if (vb::Value(box) != vb::vbUnchecked) {
            required(m_engine.client)->put_AudioMuted(device, true);
        } else {
            step = 2;
            required(m_engine.client)->put_AudioMuted(device, false);
        }
    } catch (const std::exception& error) {
        logCaught(stepName(handler, step), error);
    }
}

void MediaControls::setVolume(const QSlider& slider, long device, const char* handler) {
    try {
        required(m_engine.client)->put_Volume(device, slider.value());
    } catch (const std::exception& error) {
        logCaught(QString::fromLatin1(handler), error);
    }
}

void MediaControls::cmdWizard_Click() {
    int step = 1;
    try {
        QWidget* window = m_window->window();
        step = 2;
        required(m_engine.client)->InvokeTuningWizardEx(window, true, true);
    } catch (const std::exception& error) {
        logCaught(stepName("cmdWizard_Click", step), error);
    }
}

void MediaControls::chkStayOnTop_Click() {
    // Position and size stay as they are; only the window's place in the top-most order changes.
    trySkip({}, [this] { win32::SetWindowTopmost(*m_window, vb::Value(*m_controls.stayOnTop) == vb::vbChecked); });
}

#pragma once
// What the main window's media controls do to the call engine: the boxes of the media sent and
// received and of echo cancelling (Tools tab), the volume sliders with their Mute boxes, the
// tuning wizard and stay-on-top; and the picture boxes a call's video starts and stops in. The
// window builds the controls and gives them here with the engine and the two video windows,
// which stay the window's.
#include "call/rtc/Rtc.h"

#include <QObject>
#include <functional>
#include <memory>

class QCheckBox;
class QGroupBox;
class QPushButton;
class QSlider;
class QWidget;
class VideoCaptions;

class MediaControls final : public QObject {
public:
    struct Controls {
        QCheckBox* const* options; // the six boxes of "Call Options", by their index
        QSlider* mike;
        QSlider* speaker;
        QCheckBox* muteMike;
        QCheckBox* muteSpeaker;
        QPushButton* wizard;
        QCheckBox* stayOnTop;
        QWidget* pictureSent;
        QWidget* pictureReceived;
        VideoCaptions* captions;
    };
    // The box "Set Volume / Mute": a slider for the microphone and one for the speaker, each
    // with its Mute box, all off until an engine is there.
    struct VolumeBox {
        QGroupBox* frame;
        QSlider* mike;
        QSlider* speaker;
        QCheckBox* muteMike;
        QCheckBox* muteSpeaker;
    };
    static VolumeBox buildVolumeBox(QWidget* parent);
    // The box "Call Options": typed messages and echo cancelling, and the frames Send and Receive
    // with video and audio each; `options` takes the six boxes by index.
    struct OptionsBox {
        QGroupBox* frame;
        QGroupBox* send;
        QGroupBox* receive;
    };
    static OptionsBox buildOptionsBox(QWidget* parent, QCheckBox* (&options)[6]);

    struct Engine {
        std::shared_ptr<rtc::IRTCClient2>& client;
        std::shared_ptr<rtc::IVideoWindow>& preview;
        std::shared_ptr<rtc::IVideoWindow>& receive;
    };
    // `window` is the main window: the wizard opens over it and stay-on-top keeps it on top.
    // `status` writes the status box (in the colour it has).
    MediaControls(const Controls& controls, const Engine& engine, std::function<void(const QString&)> status,
                  QWidget* window);

    // The media the engine can handle: the boxes it cannot are withdrawn, the video windows of
    // those it can are taken.
    void fnMediaSupp(long lngMediaCaps);
    // The engine's report that a stream started or stopped.
    void MediaEvent(const std::shared_ptr<rtc::IRTCEvent>& pEvent);

private:
    void chkOptions_Click(int Index);
    void mute(QCheckBox& box, long device, const char* handler);
    void setVolume(const QSlider& slider, long device, const char* handler);
    void cmdWizard_Click();
    void chkStayOnTop_Click();

    Controls m_controls;
    Engine m_engine;
    std::function<void(const QString&)> m_status;
    QWidget* m_window;
    // The handler's own changes to the boxes click them again; those clicks are ignored.
    bool m_optionsBusy = false;
};

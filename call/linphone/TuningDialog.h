#pragma once
// The audio and video tuning dialog of the liblinphone engine: choose the microphone, the
// speaker and the camera, watch the microphone level, hear a test sound, see the camera.
#include <QDialog>
#include <memory>

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

namespace linphone {
class Core;
class Recorder;
} // namespace linphone

namespace rtc {

class FrameView;

class TuningDialog final : public QDialog {
public:
    // `scratchFolder`: where the level meter may write its throw-away recording.
    TuningDialog(QWidget* parent, linphone::Core& core, bool allowAudio, bool allowVideo, const QString& scratchFolder,
                 const QString& testSound, bool showVideo);
    ~TuningDialog() override;

    // Applies the devices chosen to the engine (done when the dialog is accepted).
    void applyChoices();

private:
    void startLevelMeter();
    void stopLevelMeter();
    void startCameraView();
    void stopCameraView();
    void playTestSound();

    linphone::Core& m_core;
    QString m_scratchFolder;
    QString m_testSound;
    bool m_showVideo;
    QComboBox* m_microphone = nullptr;
    QComboBox* m_speaker = nullptr;
    QComboBox* m_camera = nullptr;
    QProgressBar* m_level = nullptr;
    QPushButton* m_playSound = nullptr;
    FrameView* m_cameraView = nullptr;
    QTimer* m_levelTimer = nullptr;
    std::shared_ptr<linphone::Recorder> m_recorder;
    void* m_previousPreviewWindow = nullptr;
    bool m_previewWasOn = false;
    bool m_cameraShown = false;
};

} // namespace rtc

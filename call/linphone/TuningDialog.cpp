#include "call/linphone/TuningDialog.h"

#include "call/linphone/VideoWindow.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <linphone++/linphone.hh>

#include <algorithm>
#include <cmath>

namespace rtc {

namespace {

constexpr int kLevelIntervalMs = 100;

QString text(const std::string& value) {
    return QString::fromStdString(value);
}

std::shared_ptr<linphone::AudioDevice> audioDevice(linphone::Core& core, const QString& id) {
    for (const auto& device : core.getAudioDevices())
        if (text(device->getId()) == id) return device;
    return nullptr;
}

// Fills a box with the audio devices that have the capability, the current one selected.
void fillAudio(QComboBox& box, linphone::Core& core, linphone::AudioDevice::Capabilities capability,
               const std::shared_ptr<const linphone::AudioDevice>& current) {
    for (const auto& device : core.getAudioDevices()) {
        if (!device->hasCapability(capability)) continue;
        box.addItem(text(device->getDeviceName()), text(device->getId()));
        if (current && current->getId() == device->getId()) box.setCurrentIndex(box.count() - 1);
    }
    if (box.count() == 0) {
        box.addItem(QStringLiteral("(no sound device)"));
        box.setEnabled(false);
    }
}

} // namespace

TuningDialog::TuningDialog(QWidget* parent, linphone::Core& core, bool allowAudio, bool allowVideo,
                           const QString& scratchFolder, const QString& testSound, bool showVideo)
    : QDialog(parent), m_core(core), m_scratchFolder(scratchFolder), m_testSound(testSound), m_showVideo(showVideo) {
    setObjectName(QStringLiteral("TuningDialog"));
    setWindowTitle(QStringLiteral("Audio and Video Tuning"));
    auto* layout = new QVBoxLayout(this);

    auto* audio = new QGroupBox(QStringLiteral("Audio"), this);
    auto* audioForm = new QFormLayout(audio);
    m_microphone = new QComboBox(audio);
    m_microphone->setObjectName(QStringLiteral("cboMicrophone"));
    fillAudio(*m_microphone, core, linphone::AudioDevice::Capabilities::CapabilityRecord, core.getInputAudioDevice());
    m_level = new QProgressBar(audio);
    m_level->setObjectName(QStringLiteral("barMicrophoneLevel"));
    m_level->setRange(0, 100);
    m_level->setValue(0);
    m_level->setTextVisible(false);
    m_speaker = new QComboBox(audio);
    m_speaker->setObjectName(QStringLiteral("cboSpeaker"));
    fillAudio(*m_speaker, core, linphone::AudioDevice::Capabilities::CapabilityPlay, core.getOutputAudioDevice());
    m_playSound = new QPushButton(QStringLiteral("Play a test sound"), audio);
    m_playSound->setObjectName(QStringLiteral("cmdTestSound"));
    m_playSound->setEnabled(m_speaker->isEnabled());
    audioForm->addRow(QStringLiteral("Microphone:"), m_microphone);
    audioForm->addRow(QStringLiteral("Level:"), m_level);
    audioForm->addRow(QStringLiteral("Speaker:"), m_speaker);
    audioForm->addRow(QString(), m_playSound);
    audio->setVisible(allowAudio);
    layout->addWidget(audio);

    auto* video = new QGroupBox(QStringLiteral("Video"), this);
    auto* videoForm = new QFormLayout(video);
    m_camera = new QComboBox(video);
    m_camera->setObjectName(QStringLiteral("cboCamera"));
    const QString currentCamera = text(core.getVideoDevice());
    for (const std::string& id : core.getVideoDevicesList()) {
        m_camera->addItem(text(id), text(id));
        if (text(id) == currentCamera) m_camera->setCurrentIndex(m_camera->count() - 1);
    }
    if (m_camera->count() == 0) {
        m_camera->addItem(QStringLiteral("(no camera)"));
        m_camera->setEnabled(false);
    }
    m_cameraView = new FrameView(video);
    m_cameraView->setObjectName(QStringLiteral("picCamera"));
    m_cameraView->setFixedSize(234, 184);
    videoForm->addRow(QStringLiteral("Camera:"), m_camera);
    videoForm->addRow(QString(), m_cameraView);
    video->setVisible(allowVideo);
    layout->addWidget(video);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_playSound, &QPushButton::clicked, this, [this] { playTestSound(); });
    connect(m_microphone, &QComboBox::currentIndexChanged, this, [this] {
        stopLevelMeter();
        startLevelMeter();
    });
    connect(m_camera, &QComboBox::currentIndexChanged, this, [this] {
        if (!m_cameraShown) return;
        m_core.setVideoDevice(m_camera->currentData().toString().toStdString());
    });

    m_levelTimer = new QTimer(this);
    m_levelTimer->setInterval(kLevelIntervalMs);
    connect(m_levelTimer, &QTimer::timeout, this, [this] {
        if (!m_recorder) return;
        // A linear level of 0 to 1, shown on a square-root scale so that speech moves the bar.
        const float linear = std::clamp(m_recorder->getCaptureVolume(), 0.0f, 1.0f);
        m_level->setValue(int(std::lround(std::sqrt(linear) * 100.0)));
    });
    if (allowAudio) startLevelMeter();
    if (allowVideo) startCameraView();
}

TuningDialog::~TuningDialog() {
    stopLevelMeter();
    stopCameraView();
}

void TuningDialog::startLevelMeter() {
    const auto device = audioDevice(m_core, m_microphone->currentData().toString());
    if (!device) return;
    auto params = m_core.createRecorderParams();
    params->setAudioDevice(device);
    params->setFileFormat(linphone::RecorderFileFormat::Wav);
    auto recorder = m_core.createRecorder(params);
    if (!recorder) return;
    if (recorder->open((m_scratchFolder + QStringLiteral("/tuning-level.wav")).toStdString()) != 0) return;
    if (recorder->start() != 0) {
        recorder->close();
        return;
    }
    m_recorder = recorder;
    m_levelTimer->start();
}

void TuningDialog::stopLevelMeter() {
    if (m_levelTimer) m_levelTimer->stop();
    if (m_recorder) {
        m_recorder->close();
        m_recorder.reset();
    }
    if (m_level) m_level->setValue(0);
}

void TuningDialog::startCameraView() {
    if (!m_showVideo || !m_camera->isEnabled()) return;
    m_previousPreviewWindow = m_core.getNativePreviewWindowId();
    m_previewWasOn = m_core.videoPreviewEnabled();
    m_core.setVideoDevice(m_camera->currentData().toString().toStdString());
    m_core.setNativePreviewWindowId(m_cameraView->engineHandle());
    m_core.enableVideoPreview(true);
    releaseDrawingContext();
    m_cameraShown = true;
}

void TuningDialog::stopCameraView() {
    if (!m_cameraShown) return;
    m_cameraShown = false;
    m_core.enableVideoPreview(m_previewWasOn);
    m_core.setNativePreviewWindowId(m_previousPreviewWindow);
    releaseDrawingContext();
}

void TuningDialog::playTestSound() {
    if (const auto speaker = audioDevice(m_core, m_speaker->currentData().toString()))
        m_core.setOutputAudioDevice(speaker);
    m_core.playLocal(m_testSound.toStdString());
}

void TuningDialog::applyChoices() {
    if (const auto microphone = audioDevice(m_core, m_microphone->currentData().toString()))
        m_core.setInputAudioDevice(microphone);
    if (const auto speaker = audioDevice(m_core, m_speaker->currentData().toString()))
        m_core.setOutputAudioDevice(speaker);
    if (m_camera->isEnabled()) m_core.setVideoDevice(m_camera->currentData().toString().toStdString());
}

} // namespace rtc

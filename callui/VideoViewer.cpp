#include "callui/VideoViewer.h"

#include "callui/WindowPlacement.h"
#include "core/ErrorLog.h"
#include "platform/vb.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

namespace {

// Opens the big window when its picture box is double-clicked. The engine's video surface lets
// the mouse through to the box, so the double-click reaches the box whether video runs or not.
class DoubleClickOpener final : public QObject {
public:
    DoubleClickOpener(QWidget* pictureBox, QString title, VideoViewer::Source source, VideoViewer::Controls controls)
        : QObject(pictureBox), m_box(pictureBox), m_title(std::move(title)), m_source(std::move(source)),
          m_controls(std::move(controls)) {
        pictureBox->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != m_box || event->type() != QEvent::MouseButtonDblClick) return false;
        std::shared_ptr<rtc::IVideoWindow> video;
        try {
            video = m_source ? m_source() : nullptr;
        } catch (const std::exception&) {
            // No video to move: the window opens empty and takes the next one that starts.
        }
        VideoViewer::open(m_box, m_title, video, m_controls);
        return true;
    }

private:
    QWidget* m_box;
    QString m_title;
    VideoViewer::Source m_source;
    VideoViewer::Controls m_controls;
};

// The least size the big window is placed at beside the main window.
constexpr QSize kLeastPlaced(320, 240);

} // namespace

void VideoViewer::watch(QWidget* pictureBox, const QString& title, Source source, const Controls& controls) {
    if (pictureBox) new DoubleClickOpener(pictureBox, title, std::move(source), controls); // owned by the box
}

VideoViewer* VideoViewer::of(const QWidget* pictureBox) {
    if (!pictureBox) return nullptr;
    for (auto* viewer : pictureBox->findChildren<VideoViewer*>(QString(), Qt::FindDirectChildrenOnly))
        if (!viewer->m_closed) return viewer;
    return nullptr;
}

VideoViewer* VideoViewer::open(QWidget* pictureBox, const QString& title,
                               const std::shared_ptr<rtc::IVideoWindow>& video, const Controls& controls) {
    if (!pictureBox) return nullptr;
    VideoViewer* viewer = of(pictureBox);
    if (!viewer) {
        viewer = new VideoViewer(pictureBox, title, controls);
        viewer->resize(pictureBox->width() * 3, pictureBox->height() * 3 + viewer->barControls->sizeHint().height());
        viewer->placeBesideMainWindow();
    }
    viewer->show();
    viewer->raise();
    viewer->activateWindow();
    if (video) viewer->adopt(video);
    return viewer;
}

VideoViewer::VideoViewer(QWidget* pictureBox, const QString& title, const Controls& controls)
    : QWidget(pictureBox, Qt::Window), m_box(pictureBox), m_controls(controls) {
    setObjectName(QStringLiteral("videoViewer"));
    setWindowTitle(title);
    setAttribute(Qt::WA_DeleteOnClose);
    // An open video window alone does not keep the program running once the main window is gone.
    setAttribute(Qt::WA_QuitOnClose, false);
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::black);
    setPalette(palette);
    setMinimumSize(160, 120);
    setMouseTracking(true); // the picture lets the mouse through: its moves bring the bar back

    barControls = new QWidget(this);
    barControls->setObjectName(QStringLiteral("barVideoControls"));
    barControls->setAutoFillBackground(true);
    cmdHangUp = new QPushButton(QStringLiteral("Hang up"), barControls);
    cmdHangUp->setObjectName(QStringLiteral("cmdHangUp"));
    cmdMuteMic = new QPushButton(QStringLiteral("Mute microphone"), barControls);
    cmdMuteMic->setObjectName(QStringLiteral("cmdMuteMic"));
    auto* row = new QHBoxLayout(barControls);
    row->setContentsMargins(6, 4, 6, 4);
    row->addStretch();
    row->addWidget(cmdMuteMic);
    row->addWidget(cmdHangUp);
    row->addStretch();
    mirror(cmdHangUp, m_controls.hangUp);
    mirror(cmdMuteMic, m_controls.muteMicrophone);
    m_hideBar = new QTimer(this);
    m_hideBar->setSingleShot(true);
    m_hideBar->setInterval(kBarShownMs);
    connect(m_hideBar, &QTimer::timeout, this, [this] {
        if (barControls->underMouse())
            m_hideBar->start(); // the user is about to click it
        else
            barControls->hide();
    });
}

void VideoViewer::mirror(QPushButton* ours, QAbstractButton* theirs) {
    ours->setCheckable(theirs && theirs->isCheckable());
    follow(ours, theirs);
    if (!theirs) return;
    theirs->installEventFilter(this); // for its changes of enabled state
    connect(theirs, &QAbstractButton::toggled, ours, [this, ours, theirs] { follow(ours, theirs); });
    connect(ours, &QPushButton::clicked, this, [this, ours, button = QPointer<QAbstractButton>(theirs)] {
        if (button && button->isEnabled()) button->click();
        follow(ours, button); // a click that changed nothing there changes nothing here
    });
}

void VideoViewer::follow(QPushButton* ours, const QAbstractButton* theirs) const {
    ours->setEnabled(theirs && theirs->isEnabled());
    if (ours->isCheckable()) ours->setChecked(theirs && theirs->isChecked());
}

bool VideoViewer::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::EnabledChange) {
        if (watched == m_controls.hangUp) follow(cmdHangUp, m_controls.hangUp);
        if (watched == m_controls.muteMicrophone) follow(cmdMuteMic, m_controls.muteMicrophone);
    }
    return QWidget::eventFilter(watched, event);
}

void VideoViewer::placeBesideMainWindow() {
    const QWidget* main = m_box ? m_box->window() : nullptr;
    const QScreen* screen = main ? main->screen() : nullptr;
    if (!screen) return;
    QRect place = callui::besideOf(main->frameGeometry(), size(), screen->availableGeometry(), kLeastPlaced);
    // A main window that fills the screen: the big window goes over it, but not over Hang up.
    if (place.isEmpty() && m_controls.hangUp && m_controls.hangUp->window() == main)
        place = callui::besideOf(QRect(m_controls.hangUp->mapToGlobal(QPoint(0, 0)), m_controls.hangUp->size()), size(),
                                 screen->availableGeometry(), kLeastPlaced);
    if (!place.isEmpty()) setGeometry(place);
}

void VideoViewer::placeBar() {
    if (!barControls) return; // a resize while it is being made
    const int height = barControls->sizeHint().height();
    barControls->setGeometry(0, this->height() - height, width(), height);
    barControls->raise(); // over the picture, which came in after it
}

void VideoViewer::showBarAWhile() {
    barControls->show();
    placeBar();
    m_hideBar->start();
}

void VideoViewer::mouseMoveEvent(QMouseEvent* event) {
    if (m_fullScreen) showBarAWhile();
    QWidget::mouseMoveEvent(event);
}

VideoViewer::~VideoViewer() {
    // Before our native window goes: the video's surface is its child and would go with it.
    giveBack();
}

void VideoViewer::adopt(const std::shared_ptr<rtc::IVideoWindow>& video) {
    m_video = video;
    if (!video) return;
    try {
        video->put_WindowStyle(rtc::kVideoChildStyle);
        video->put_Owner(this);
        fit();
        placeBar();
    } catch (const std::exception&) {
        m_video.reset(); // the video stays where it was
    }
}

void VideoViewer::fit() const {
    const auto video = m_video.lock();
    if (!video || video->get_Owner() != this) return;
    // The engine's drawer keeps the picture's shape inside the area it is given, with black bars;
    // the bar of buttons lies over the picture in full screen, under it otherwise.
    const int bar = m_fullScreen ? 0 : barControls->sizeHint().height();
    video->SetWindowPosition(0, 0, width(), height() - bar);
}

void VideoViewer::giveBack() {
    const auto video = m_video.lock();
    m_video.reset();
    if (!video) return;
    try {
        if (video->get_Owner() != this) return; // the call ended and took it away already
        if (m_box) {
            video->put_Owner(m_box);
            video->SetWindowPosition(0, 0, m_box->width(), m_box->height());
        } else {
            video->put_Owner(nullptr);
        }
    } catch (const std::exception&) {
        // Nothing more to do: the engine has let go of its video.
    }
}

void VideoViewer::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    placeBar();
    try {
        fit();
    } catch (const std::exception&) {
    }
}

void VideoViewer::setFullScreen(bool on) {
    if (on == m_fullScreen) return;
    m_fullScreen = on;
    // The window manager is asked through the window's state; the geometry, set first, is for a
    // desktop without one, where the state alone changes nothing.
    if (on) {
        m_normalGeometry = geometry();
        if (const QScreen* screen = this->screen()) setGeometry(screen->geometry());
        showFullScreen();
        showBarAWhile(); // then only while the mouse moves
    } else {
        showNormal();
        if (m_normalGeometry.isValid()) setGeometry(m_normalGeometry);
        m_hideBar->stop();
        barControls->show();
        placeBar();
    }
    try {
        fit();
    } catch (const std::exception&) {
    }
}

void VideoViewer::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F11) {
        setFullScreen(!m_fullScreen);
    } else if (event->key() == Qt::Key_Escape && m_fullScreen) {
        setFullScreen(false);
    } else {
        QWidget::keyPressEvent(event);
    }
}

void VideoViewer::mouseDoubleClickEvent(QMouseEvent* event) {
    setFullScreen(!m_fullScreen);
    event->accept();
}

void VideoViewer::closeEvent(QCloseEvent* event) {
    m_closed = true;
    giveBack();
    QWidget::closeEvent(event);
}

void placeVideo(const std::shared_ptr<rtc::IVideoWindow>& window, QWidget* pictureBox) {
    using basMain::trySkip;
    const auto shown = [&window] {
        if (!window) vb::raise(vb::kErrObjectNotSet);
        return window;
    };
    if (VideoViewer* viewer = VideoViewer::of(pictureBox)) {
        viewer->adopt(window);
    } else {
        trySkip({}, [&] { shown()->put_WindowStyle(rtc::kVideoChildStyle); });
        trySkip({}, [&] { shown()->put_Owner(pictureBox); });
        trySkip({}, [&] { shown()->SetWindowPosition(0, 0, 234, 184); });
    }
    trySkip({}, [&] { shown()->put_Visible(1); });
}

void hideVideo(const std::shared_ptr<rtc::IVideoWindow>& window) {
    if (!window) return;
    basMain::trySkip({}, [&] { window->put_Visible(0); });
    basMain::trySkip({}, [&] { window->put_Owner(nullptr); });
}

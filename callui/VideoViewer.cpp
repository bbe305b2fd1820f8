#include "callui/VideoViewer.h"

#include "core/ErrorLog.h"
#include "platform/vb.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPalette>
#include <QScreen>

namespace {

// Opens the big window when its picture box is double-clicked. The engine's video surface lets
// the mouse through to the box, so the double-click reaches the box whether video runs or not.
class DoubleClickOpener final : public QObject {
public:
    DoubleClickOpener(QWidget* pictureBox, QString title, VideoViewer::Source source)
        : QObject(pictureBox), m_box(pictureBox), m_title(std::move(title)), m_source(std::move(source)) {
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
        VideoViewer::open(m_box, m_title, video);
        return true;
    }

private:
    QWidget* m_box;
    QString m_title;
    VideoViewer::Source m_source;
};

} // namespace

void VideoViewer::watch(QWidget* pictureBox, const QString& title, Source source) {
    if (pictureBox) new DoubleClickOpener(pictureBox, title, std::move(source)); // owned by the box
}

VideoViewer* VideoViewer::of(const QWidget* pictureBox) {
    if (!pictureBox) return nullptr;
    for (auto* viewer : pictureBox->findChildren<VideoViewer*>(QString(), Qt::FindDirectChildrenOnly))
        if (!viewer->m_closed) return viewer;
    return nullptr;
}

VideoViewer* VideoViewer::open(QWidget* pictureBox, const QString& title,
                               const std::shared_ptr<rtc::IVideoWindow>& video) {
    if (!pictureBox) return nullptr;
    VideoViewer* viewer = of(pictureBox);
    if (!viewer) {
        viewer = new VideoViewer(pictureBox, title);
        viewer->resize(pictureBox->size() * 3);
    }
    viewer->show();
    viewer->raise();
    viewer->activateWindow();
    if (video) viewer->adopt(video);
    return viewer;
}

VideoViewer::VideoViewer(QWidget* pictureBox, const QString& title)
    : QWidget(pictureBox, Qt::Window), m_box(pictureBox) {
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
    } catch (const std::exception&) {
        m_video.reset(); // the video stays where it was
    }
}

void VideoViewer::fit() const {
    const auto video = m_video.lock();
    if (!video || video->get_Owner() != this) return;
    // The engine's drawer keeps the picture's shape inside the area it is given, with black bars.
    video->SetWindowPosition(0, 0, width(), height());
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
    } else {
        showNormal();
        if (m_normalGeometry.isValid()) setGeometry(m_normalGeometry);
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

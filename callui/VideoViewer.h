#pragma once
// A video at any size: a double-click on a picture box opens the video it holds in a resizable
// window of its own (F11 or a double-click toggles full screen, Esc leaves it). The video window
// of the engine moves into it, so the picture goes on undisturbed; closing it moves the video
// back into its box. It stays open across calls: the next call's video starts in it.
#include "call/rtc/Rtc.h"

#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>

class VideoViewer final : public QWidget {
    Q_OBJECT
public:
    // The video window a picture box shows (null while there is none).
    using Source = std::function<std::shared_ptr<rtc::IVideoWindow>()>;

    // Makes a double-click on `pictureBox` open its video, named by `source` at that moment, in
    // a window called `title`.
    static void watch(QWidget* pictureBox, const QString& title, Source source);
    // Opens the big window of `pictureBox` (or brings it forward) and moves `video` into it.
    static VideoViewer* open(QWidget* pictureBox, const QString& title,
                             const std::shared_ptr<rtc::IVideoWindow>& video);
    // The big window open for `pictureBox`, or null.
    static VideoViewer* of(const QWidget* pictureBox);

    ~VideoViewer() override;
    VideoViewer(const VideoViewer&) = delete;
    VideoViewer& operator=(const VideoViewer&) = delete;

    // Shows `video` here, filling the window.
    void adopt(const std::shared_ptr<rtc::IVideoWindow>& video);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    VideoViewer(QWidget* pictureBox, const QString& title);
    void fit() const;
    void setFullScreen(bool on);
    // Moves the video back into the picture box, if it is still here.
    void giveBack();

    QPointer<QWidget> m_box;
    std::weak_ptr<rtc::IVideoWindow> m_video;
    bool m_closed = false; // closed, waiting to be deleted
    bool m_fullScreen = false;
    QRect m_normalGeometry; // to go back to from full screen
};

// Places a video window inside a picture box, or in the box's big window while that is open, and
// shows it. What fails (no video window) is skipped without a word.
void placeVideo(const std::shared_ptr<rtc::IVideoWindow>& window, QWidget* pictureBox);
// Hides a video window and takes it out of its box.
void hideVideo(const std::shared_ptr<rtc::IVideoWindow>& window);

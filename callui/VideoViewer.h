#pragma once
// A video at any size: a double-click on a picture box opens the video it holds in a resizable
// window of its own, beside the main window where the screen has room (F11 or a double-click
// toggles full screen, Esc leaves it). The video window of the engine moves into it, so the
// picture goes on undisturbed; closing it moves the video back into its box and leaves the call
// alone. It stays open across calls: the next call's video starts in it. A bar at its foot hangs
// up and mutes the microphone, as the main window's own buttons do; in full screen the bar lies
// over the picture and shows while the mouse moves.
#include "call/rtc/Rtc.h"

#include <QAbstractButton>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>

class QPushButton;
class QTimer;

class VideoViewer final : public QWidget {
    Q_OBJECT
public:
    // The video window a picture box shows (null while there is none).
    using Source = std::function<std::shared_ptr<rtc::IVideoWindow>()>;

    // The main window's buttons the big window offers too. Each of its own follows the state of
    // its button (enabled, checked) and clicks it; the main window's button does the rest.
    struct Controls {
        QPointer<QAbstractButton> hangUp;
        QPointer<QAbstractButton> muteMicrophone;
    };

    // Makes a double-click on `pictureBox` open its video, named by `source` at that moment, in
    // a window called `title`.
    static void watch(QWidget* pictureBox, const QString& title, Source source, const Controls& controls = {});
    // Opens the big window of `pictureBox` (or brings it forward) and moves `video` into it.
    static VideoViewer* open(QWidget* pictureBox, const QString& title, const std::shared_ptr<rtc::IVideoWindow>& video,
                             const Controls& controls = {});
    // The big window open for `pictureBox`, or null.
    static VideoViewer* of(const QWidget* pictureBox);

    ~VideoViewer() override;
    VideoViewer(const VideoViewer&) = delete;
    VideoViewer& operator=(const VideoViewer&) = delete;

    // Shows `video` here, filling the window.
    void adopt(const std::shared_ptr<rtc::IVideoWindow>& video);

    QWidget* barControls = nullptr;
    QPushButton* cmdHangUp = nullptr;
    QPushButton* cmdMuteMic = nullptr;
    // In full screen, how long the bar stays after the mouse last moved.
    static constexpr int kBarShownMs = 2500;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    VideoViewer(QWidget* pictureBox, const QString& title, const Controls& controls);
    // Out of the main window's way: beside it, or at least clear of its Hang up button.
    void placeBesideMainWindow();
    // Our button follows `theirs` and clicks it.
    void mirror(QPushButton* ours, QAbstractButton* theirs);
    void follow(QPushButton* ours, const QAbstractButton* theirs) const;
    void placeBar();
    void showBarAWhile();
    void fit() const;
    void setFullScreen(bool on);
    // Moves the video back into the picture box, if it is still here.
    void giveBack();

    QPointer<QWidget> m_box;
    std::weak_ptr<rtc::IVideoWindow> m_video;
    bool m_closed = false; // closed, waiting to be deleted
    bool m_fullScreen = false;
    QRect m_normalGeometry; // to go back to from full screen
    Controls m_controls;
    QTimer* m_hideBar = nullptr;
};

// Places a video window inside a picture box, or in the box's big window while that is open, and
// shows it. What fails (no video window) is skipped without a word.
void placeVideo(const std::shared_ptr<rtc::IVideoWindow>& window, QWidget* pictureBox);
// Hides a video window and takes it out of its box.
void hideVideo(const std::shared_ptr<rtc::IVideoWindow>& window);

#pragma once
// A video window of an engine: a view the engine's pictures are drawn in, placed inside a widget
// of ours (a picture box) when given an owner. The view exists from the start, hidden, so the
// engine can be told where to draw before a call's video starts; giving it an owner moves the
// same view into the owner, so drawing goes on undisturbed, at whatever size it is given.
#include "call/linphone/FrameView.h"
#include "call/rtc/Rtc.h"

#include <QPointer>
#include <QRect>
#include <functional>
#include <memory>

namespace rtc {

class LinphoneVideoWindow final : public IVideoWindow {
public:
    using Bind = std::function<void(void* nativeWindow)>;
    // `renderable`: whether this platform shows the engine's video; without it the window keeps
    // its owner, position and visibility but nothing is drawn.
    LinphoneVideoWindow(Bind bind, bool renderable);
    ~LinphoneVideoWindow() override;
    LinphoneVideoWindow(const LinphoneVideoWindow&) = delete;
    LinphoneVideoWindow& operator=(const LinphoneVideoWindow&) = delete;

    void put_WindowStyle(long style) override { m_style = style; }
    long get_WindowStyle() const { return m_style; }
    void put_Owner(QWidget* owner) override;
    QWidget* get_Owner() const override { return m_owner; }
    void SetWindowPosition(long left, long top, long width, long height) override;
    QRect windowPosition() const { return m_rect; }
    void put_Visible(long visible) override;
    long get_Visible() const override { return m_visible ? 1 : 0; }
    // The view drawn into (null where nothing can be drawn).
    FrameView* surface() const { return m_surface; }
    // Tells the engine again where to draw.
    void rebind() const;

private:
    Bind m_bind;
    long m_style = 0;
    QPointer<QWidget> m_owner;
    // Ours while it has no owner; the owner holds it (as its child) while it has one.
    std::unique_ptr<FrameView> m_ownSurface;
    QPointer<FrameView> m_surface;
    QRect m_rect{0, 0, 234, 184};
    bool m_visible = false;
};

// The engine's own GL picture drawer (its default on X11, which ours replaces where video is
// shown) makes its context current on the thread that starts a video stream (ours) and closes
// that context's display connection when the stream stops, without releasing it here first.
// The GL library then keeps a current context on a closed connection for this thread, and the
// next stream's drawer crashes inside it. Releasing the context after every engine operation
// that may start a stream, while its connection is still open, leaves nothing stale behind.
void releaseDrawingContext();

} // namespace rtc

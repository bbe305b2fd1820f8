#pragma once
// A video window of an engine: a native child window placed inside a widget of ours (a picture
// box), into which the engine renders. The engine learns the native window through `bind`
// (nullptr when the window goes away).
#include "call/rtc/Rtc.h"

#include <QPointer>
#include <QRect>
#include <functional>

namespace rtc {

class LinphoneVideoWindow final : public IVideoWindow {
public:
    using Bind = std::function<void(void* nativeWindow)>;
    // `renderable`: whether native windows of this platform can be rendered into; without it
    // the window keeps its owner, position and visibility but nothing is bound.
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
    // The child widget the video is drawn into (null while there is no owner).
    QWidget* surface() const { return m_surface; }
    // Binds the window again (a new call needs to be told where to draw).
    void rebind() const;

private:
    void dropSurface();

    Bind m_bind;
    bool m_renderable;
    long m_style = 0;
    QPointer<QWidget> m_owner;
    QPointer<QWidget> m_surface;
    QRect m_rect{0, 0, 234, 184};
    bool m_visible = false;
};

} // namespace rtc

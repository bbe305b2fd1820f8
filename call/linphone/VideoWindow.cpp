#include "call/linphone/VideoWindow.h"

#include <QWidget>

// After Qt: the X11 headers define macros (None, Bool, Status) that Qt's headers use as names.
#include <GL/glx.h>

namespace rtc {

LinphoneVideoWindow::LinphoneVideoWindow(Bind bind, bool renderable) : m_bind(std::move(bind)) {
    if (!renderable) return;
    m_ownSurface = std::make_unique<FrameView>();
    m_ownSurface->setObjectName(QStringLiteral("videoSurface"));
    m_ownSurface->setGeometry(m_rect);
    m_surface = m_ownSurface.get();
    // The engine must never be left naming a view that is gone (its owner took it along).
    QObject::connect(m_surface, &QObject::destroyed, m_surface, [this] {
        if (m_bind) m_bind(nullptr);
    });
    rebind();
}

LinphoneVideoWindow::~LinphoneVideoWindow() {
    if (m_surface) {
        m_surface->disconnect();
        if (m_bind) m_bind(nullptr);
        m_surface->setVisible(false);
        if (!m_ownSurface) {
            m_surface->setParent(nullptr);
            m_ownSurface.reset(m_surface.data()); // ours to delete now
        }
    }
}

void LinphoneVideoWindow::rebind() const {
    if (m_surface && m_bind) m_bind(m_surface->engineHandle());
}

void LinphoneVideoWindow::put_Owner(QWidget* owner) {
    m_owner = owner;
    if (!m_surface) return;
    if (owner) {
        m_surface->setParent(owner);
        (void)m_ownSurface.release(); // now a child of the owner
    } else {
        m_surface->setVisible(false);
        if (!m_ownSurface) {
            m_surface->setParent(nullptr);
            m_ownSurface.reset(m_surface.data()); // ours again
        }
    }
    m_surface->setGeometry(m_rect);
    m_surface->setVisible(m_visible && owner);
}

void LinphoneVideoWindow::SetWindowPosition(long left, long top, long width, long height) {
    m_rect = QRect(int(left), int(top), int(width), int(height));
    if (m_surface) m_surface->setGeometry(m_rect);
}

void LinphoneVideoWindow::put_Visible(long visible) {
    m_visible = visible != 0;
    if (!m_surface) return;
    if (!m_visible) m_surface->clear(); // the next stream starts from black, not from this one's last frame
    m_surface->setVisible(m_visible && m_owner);
}

void releaseDrawingContext() {
    if (!glXGetCurrentContext()) return;
    if (Display* display = glXGetCurrentDisplay()) glXMakeCurrent(display, None, nullptr);
}

} // namespace rtc

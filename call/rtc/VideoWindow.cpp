#include "call/rtc/VideoWindow.h"

#include <QWidget>

namespace rtc {

LinphoneVideoWindow::LinphoneVideoWindow(Bind bind, bool renderable)
    : m_bind(std::move(bind)), m_renderable(renderable) {}

LinphoneVideoWindow::~LinphoneVideoWindow() {
    dropSurface();
}

void LinphoneVideoWindow::dropSurface() {
    if (m_surface && m_renderable && m_bind) m_bind(nullptr);
    if (m_surface) {
        m_surface->disconnect();
        m_surface->hide();
        m_surface->deleteLater();
    }
    m_surface = nullptr;
}

void LinphoneVideoWindow::put_Owner(QWidget* owner) {
    if (owner == m_owner && (m_surface || !owner)) return;
    dropSurface();
    m_owner = owner;
    if (!owner) return;
    // A child widget with a native window of its own: the engine draws into that window.
    auto* surface = new QWidget(owner); // owned by its parent
    surface->setObjectName(QStringLiteral("videoSurface"));
    surface->setAttribute(Qt::WA_NativeWindow);
    surface->setAttribute(Qt::WA_DontCreateNativeAncestors);
    surface->setAutoFillBackground(true);
    surface->setGeometry(m_rect);
    surface->setVisible(m_visible);
    m_surface = surface;
    // The engine must never draw into a window that no longer exists.
    QObject::connect(surface, &QObject::destroyed, surface, [this] {
        if (m_renderable && m_bind) m_bind(nullptr);
    });
    rebind();
}

void LinphoneVideoWindow::rebind() const {
    if (!m_surface || !m_renderable || !m_bind) return;
    m_bind(reinterpret_cast<void*>(static_cast<quintptr>(m_surface->winId())));
}

void LinphoneVideoWindow::SetWindowPosition(long left, long top, long width, long height) {
    m_rect = QRect(int(left), int(top), int(width), int(height));
    if (m_surface) m_surface->setGeometry(m_rect);
}

void LinphoneVideoWindow::put_Visible(long visible) {
    m_visible = visible != 0;
    if (m_surface) m_surface->setVisible(m_visible);
}

} // namespace rtc

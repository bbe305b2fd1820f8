#include "call/linphone/FrameView.h"

#include <QCoreApplication>
#include <QPainter>
#include <algorithm>
#include <atomic>
#include <map>
#include <memory>

#include <mediastreamer2/msfactory.h>
#include <mediastreamer2/msfilter.h>
#include <mediastreamer2/msinterfaces.h>
#include <mediastreamer2/msvideo.h>

namespace rtc {

namespace {

// The views that exist, by the handle the engine knows them by. Touched on the UI thread only:
// the filter hands frames over by handle, and a frame for a view that is gone is dropped.
std::map<quintptr, FrameView*>& views() {
    static std::map<quintptr, FrameView*> all;
    return all;
}
// Handles start well away from 0 and -1, which the engine reads as "make a window" and "none".
quintptr g_nextKey = 0x10000;

// Larger frames than this are not drawn: a peer cannot make us allocate without bound.
constexpr int kMaxFrameSide = 4096;

quint8 clamp255(int value) {
    return quint8(std::clamp(value, 0, 255));
}

// A YUV 4:2:0 picture (studio range) as an RGB image.
QImage toImage(const MSPicture& picture, bool mirror) {
    QImage image(picture.w, picture.h, QImage::Format_RGB32);
    if (image.isNull()) return image;
    for (int y = 0; y < picture.h; ++y) {
        const quint8* luma = picture.planes[0] + qsizetype(y) * picture.strides[0];
        const quint8* cb = picture.planes[1] + qsizetype(y / 2) * picture.strides[1];
        const quint8* cr = picture.planes[2] + qsizetype(y / 2) * picture.strides[2];
        auto* out = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < picture.w; ++x) {
            const int c = 298 * (luma[x] - 16);
            const int d = cb[x / 2] - 128;
            const int e = cr[x / 2] - 128;
            out[mirror ? picture.w - 1 - x : x] =
                qRgb(clamp255((c + 409 * e + 128) >> 8), clamp255((c - 100 * d - 208 * e + 128) >> 8),
                     clamp255((c + 516 * d + 128) >> 8));
        }
    }
    return image;
}

// What one filter instance knows; the filter runs on the engine's media thread.
struct FilterState {
    std::atomic<quintptr> key{0};
    std::atomic<bool> mirror{false};
    // Set while a frame is on its way to the UI thread: a busy UI skips frames rather than
    // queueing them up.
    std::shared_ptr<std::atomic<bool>> inFlight = std::make_shared<std::atomic<bool>>(false);
};

FilterState* stateOf(MSFilter* filter) {
    return static_cast<FilterState*>(filter->data);
}

void filterInit(MSFilter* filter) {
    filter->data = new FilterState();
}

void filterUninit(MSFilter* filter) {
    delete stateOf(filter);
    filter->data = nullptr;
}

void filterProcess(MSFilter* filter) {
    FilterState* state = stateOf(filter);
    mblk_t* frame = filter->inputs[0] ? ms_queue_peek_last(filter->inputs[0]) : nullptr;
    const quintptr key = state->key;
    MSPicture picture{};
    QCoreApplication* const app = QCoreApplication::instance(); // none once the program is closing
    if (app && frame && key && ms_yuv_buf_init_from_mblk(&picture, frame) == 0 && picture.w > 0 && picture.h > 0 &&
        picture.w <= kMaxFrameSide && picture.h <= kMaxFrameSide && !state->inFlight->exchange(true)) {
        // A still picture standing in for a camera stays the right way round.
        QImage image = toImage(picture, state->mirror && !mblk_get_precious_flag(frame));
        QMetaObject::invokeMethod(
            app,
            [key, image = std::move(image), inFlight = state->inFlight] {
                inFlight->store(false);
                const auto found = views().find(key);
                if (found != views().end() && !image.isNull()) found->second->setFrame(image);
            },
            Qt::QueuedConnection);
    }
    // The second input carries the local picture for an inset; ours is shown in a view of its own.
    for (int input = 0; input < 2; ++input)
        if (filter->inputs[input]) ms_queue_flush(filter->inputs[input]);
}

int setWindow(MSFilter* filter, void* arg) {
    stateOf(filter)->key = reinterpret_cast<quintptr>(*static_cast<void**>(arg));
    return 0;
}

int getWindow(MSFilter* filter, void* arg) {
    *static_cast<void**>(arg) = reinterpret_cast<void*>(stateOf(filter)->key.load());
    return 0;
}

int setMirroring(MSFilter* filter, void* arg) {
    stateOf(filter)->mirror = *static_cast<int*>(arg) != 0;
    return 0;
}

// Settings the engine gives every display that mean nothing here: the view has the size it is
// given and shows the local picture apart.
int acceptAndIgnore(MSFilter*, void*) {
    return 0;
}

MSFilterMethod g_methods[] = {
    {MS_VIDEO_DISPLAY_SET_NATIVE_WINDOW_ID, setWindow},
    {MS_VIDEO_DISPLAY_GET_NATIVE_WINDOW_ID, getWindow},
    {MS_VIDEO_DISPLAY_ENABLE_MIRRORING, setMirroring},
    {MS_VIDEO_DISPLAY_ENABLE_AUTOFIT, acceptAndIgnore},
    {MS_VIDEO_DISPLAY_SET_LOCAL_VIEW_MODE, acceptAndIgnore},
    {MS_VIDEO_DISPLAY_SHOW_VIDEO, acceptAndIgnore},
    {MS_FILTER_SET_VIDEO_SIZE, acceptAndIgnore},
    {0, nullptr},
};

MSFilterDesc g_description = {
    MS_FILTER_PLUGIN_ID,
    kFrameViewFilter,
    "Hands the pictures to a Qt view",
    MS_FILTER_OTHER,
    nullptr,
    2,
    0,
    filterInit,
    nullptr,
    filterProcess,
    nullptr,
    filterUninit,
    g_methods,
    0,
};

} // namespace

FrameView::FrameView(QWidget* parent) : QWidget(parent), m_key(g_nextKey++) {
    views()[m_key] = this;
    // The widget beneath gets the mouse: a double-click on a picture reaches its picture box.
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

FrameView::~FrameView() {
    views().erase(m_key);
}

void FrameView::setFrame(const QImage& frame) {
    m_frame = frame;
    update();
}

void FrameView::clear() {
    m_frame = QImage();
    update();
}

void FrameView::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (m_frame.isNull()) return;
    const QSize shown = m_frame.size().scaled(size(), Qt::KeepAspectRatio);
    const QRect target(QPoint((width() - shown.width()) / 2, (height() - shown.height()) / 2), shown);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, m_frame);
}

void registerFrameViewFilter(_MSFactory* factory) {
    if (factory && !ms_factory_lookup_filter_by_name(factory, kFrameViewFilter))
        ms_factory_register_filter(factory, &g_description);
}

} // namespace rtc

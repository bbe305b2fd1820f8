#pragma once
// The engine's pictures drawn by Qt. A display filter of ours in the engine's media graph turns
// each frame into an image and hands it to the view it was told to draw into; the view paints
// the latest one scaled to whatever size it has, its shape kept, with black bars. A view can be
// resized, moved to another window or shown full screen at any time, with no native window or
// GL context of the engine's to keep in step.
#include <QImage>
#include <QWidget>

struct _MSFactory; // NOLINT(bugprone-reserved-identifier): the media library names it so

namespace rtc {

class FrameView final : public QWidget {
public:
    explicit FrameView(QWidget* parent = nullptr);
    ~FrameView() override;
    FrameView(const FrameView&) = delete;
    FrameView& operator=(const FrameView&) = delete;

    // What the engine is given as the window to draw into: names this view to the filter.
    void* engineHandle() const { return reinterpret_cast<void*>(m_key); }
    // The picture shown now (null before the first frame and after clear()).
    const QImage& frame() const { return m_frame; }
    void setFrame(const QImage& frame);
    void clear();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    quintptr m_key;
    QImage m_frame;
};

// The display filter's name, for Core::setVideoDisplayFilter().
inline constexpr const char* kFrameViewFilter = "ColloqFrameView";
// Makes the filter known to an engine's media factory; again for the same factory is harmless.
void registerFrameViewFilter(_MSFactory* factory);

} // namespace rtc

#include "callui/VideoCaptions.h"

#include "callui/Labels.h"
#include "wire/PeerText.h"

#include <QEvent>
#include <QTimer>

namespace {

// The most of a name a box of a picture's width shows.
constexpr qsizetype kNameChars = 32;

QLabel* caption(QWidget* box, const char* name) {
    QLabel* shown = callui::hiddenLabel(box, name);
    shown->setAttribute(Qt::WA_TransparentForMouseEvents); // a double-click still opens the big window
    return shown;
}

// A name tag in the bottom left corner, readable on any picture.
QLabel* nameTag(QWidget* box, const char* name) {
    QLabel* tag = caption(box, name);
    tag->setStyleSheet(QStringLiteral("color: white; background: rgba(0, 0, 0, 150); padding: 1px 4px;"));
    return tag;
}

void placeTag(QLabel* tag) {
    tag->adjustSize();
    const QWidget* box = tag->parentWidget();
    tag->move(4, box->height() - tag->height() - 4);
}

} // namespace

VideoCaptions::VideoCaptions(QWidget* sentBox, QWidget* receivedBox) : QObject(receivedBox) {
    lblSentName = nameTag(sentBox, "lblSentName");
    lblSentName->setText(QStringLiteral("You"));
    placeTag(lblSentName);
    lblSentName->show();
    lblReceivedName = nameTag(receivedBox, "lblReceivedName");
    lblNoVideo = caption(receivedBox, "lblNoVideo");
    lblNoVideo->setStyleSheet(QStringLiteral("color: #d0d4da;"));
    lblNoVideo->setAlignment(Qt::AlignCenter);
    lblNoVideo->setWordWrap(true);
    lblNoVideo->setGeometry(receivedBox->rect().adjusted(8, 8, -8, -8));
    // The engine's picture comes into a box as a child of its own, after ours.
    sentBox->installEventFilter(this);
    receivedBox->installEventFilter(this);
}

void VideoCaptions::callConnected(const QString& party) {
    m_party = wire::cleanPeerText(party, kNameChars);
    m_connected = true;
    update();
}

void VideoCaptions::receivedVideo(bool running) {
    m_receiving = running;
    update();
}

void VideoCaptions::callEnded() {
    m_connected = false;
    m_receiving = false;
    update();
}

void VideoCaptions::update() {
    lblReceivedName->setText(m_party);
    placeTag(lblReceivedName);
    lblReceivedName->setVisible(m_connected && !m_party.isEmpty());
    lblNoVideo->setText(QStringLiteral("No video from ") +
                        (m_party.isEmpty() ? QStringLiteral("the other party") : m_party));
    lblNoVideo->setVisible(m_connected && !m_receiving);
    keepOnTop();
}

void VideoCaptions::keepOnTop() const {
    lblSentName->raise();
    lblReceivedName->raise();
    lblNoVideo->raise();
}

bool VideoCaptions::eventFilter(QObject* /*box*/, QEvent* event) {
    if (event->type() == QEvent::ChildAdded)
        QTimer::singleShot(0, this, [this] { keepOnTop(); }); // once the new child has its place
    return false;
}

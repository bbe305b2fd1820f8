#pragma once
// Names on the two picture boxes, so that nobody has to guess which picture is whose: "You" on
// the video sent, the other party's name on the video received, and, while a call is connected
// and nothing comes from the other side, "No video from <name>" across the received box. The
// names sit on top of the engine's pictures.
#include <QObject>
#include <QString>

class QLabel;
class QWidget;

class VideoCaptions final : public QObject {
    Q_OBJECT
public:
    VideoCaptions(QWidget* sentBox, QWidget* receivedBox);

    QLabel* lblSentName = nullptr;     // "You"
    QLabel* lblReceivedName = nullptr; // the other party, during a call
    QLabel* lblNoVideo = nullptr;      // "No video from <name>"

    // A call has connected with `party`; its video has not come (yet).
    void callConnected(const QString& party);
    // The video from the other side started or stopped.
    void receivedVideo(bool running);
    void callEnded();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void update();
    void keepOnTop() const;
    QString m_party;
    bool m_connected = false;
    bool m_receiving = false;
};

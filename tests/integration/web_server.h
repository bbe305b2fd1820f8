#pragma once
// Web pages for the web tests: a scripted HTTP server on a loopback address that records every
// request byte for byte and answers each page as told (whole, in delayed segments, or without end).
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <memory>

class QTcpServer;
class QTcpSocket;
class frmMain;

namespace webtest {

// Gives the window its web socket and routes the socket's events to the window's handlers, as
// the start-up does.
void attachWebSocket(frmMain& form);

// A whole reply: status line, Content-Length (unless left out), Connection: close, body.
QByteArray httpReply(const QByteArray& body, bool withContentLength = true, const QByteArray& status = "200 OK");
// A value between the WAN markers: "StartLookWANIP =" + value + "EndLookWANIP".
QByteArray marked(const QByteArray& value);

class ScriptedWebServer : public QObject {
    Q_OBJECT
public:
    struct Segment {
        int delayMs = 0; // after the previous segment (or after the request)
        QByteArray bytes;
    };
    struct Answer {
        QList<Segment> segments;
        bool closeAfter = true; // close once the last segment is out
    };
    static Answer whole(const QByteArray& reply) { return Answer{{{0, reply}}, true}; }

    // Listens on address:port; check listening() (binding port 80 needs root).
    explicit ScriptedWebServer(const QString& address, quint16 port = 80);
    ~ScriptedWebServer() override;
    bool listening() const;

    // The answer for a page: the request target without its leading slashes and its query.
    // Pages without one are answered 404.
    void setAnswer(const QString& page, const Answer& answer) { m_answers.insert(page, answer); }
    // After the answer's last segment the page sends `filler` again and again, every `gapMs`,
    // instead of closing: a reply that never ends.
    void setEndless(const QString& page, const QByteArray& filler, int gapMs) {
        m_endless.insert(page, {filler, gapMs});
    }
    const QList<QByteArray>& requests() const { return m_requests; }
    // Connections the client has not closed yet.
    int openConnections() const;

private:
    struct Peer {
        QPointer<QTcpSocket> socket;
        QByteArray buffer;
        bool answered = false;
    };
    void onNewConnection();
    void onReadyRead(const std::shared_ptr<Peer>& peer);
    struct Endless {
        QByteArray filler;
        int gapMs = 0;
    };
    void send(const QPointer<QTcpSocket>& socket, const Answer& answer, int index, const Endless& endless);

    QTcpServer* m_server = nullptr;
    QHash<QString, Answer> m_answers;
    QHash<QString, Endless> m_endless;
    QList<QByteArray> m_requests;
    QList<QPointer<QTcpSocket>> m_sockets;
};

} // namespace webtest

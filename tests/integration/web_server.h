#pragma once
// Web pages for the web lookup tests: a scripted HTTP server on a loopback address that records
// every request byte for byte and answers each page as told (whole, in delayed segments, held
// back until released, or not at all), and a real nginx serving static files.
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
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
        bool held = false;      // send nothing until release()
    };
    static Answer whole(const QByteArray& reply) { return Answer{{{0, reply}}, true, false}; }

    // Listens on address:port; check listening() (binding port 80 needs root).
    explicit ScriptedWebServer(const QString& address, quint16 port = 80);
    ~ScriptedWebServer() override;
    bool listening() const;
    QString address() const { return m_address; }

    // The answer for a page: the request target without its leading slashes and its query.
    // Pages without one are answered 404.
    void setAnswer(const QString& page, const Answer& answer) { m_answers.insert(page, answer); }
    // After the answer's last segment the page sends `filler` again and again, every `gapMs`,
    // instead of closing: a reply that never ends.
    void setEndless(const QString& page, const QByteArray& filler, int gapMs) {
        m_endless.insert(page, {filler, gapMs});
    }
    // Every later connection is closed as soon as its request is in, without an answer.
    void dropEveryRequest() { m_drop = true; }
    // Sends the held answers.
    void release();

    const QList<QByteArray>& requests() const { return m_requests; }
    int connectionCount() const { return m_connections; }
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

    QString m_address;
    QTcpServer* m_server = nullptr;
    QHash<QString, Answer> m_answers;
    QHash<QString, Endless> m_endless;
    QList<QByteArray> m_requests;
    QList<std::pair<QPointer<QTcpSocket>, Answer>> m_held;
    QList<QPointer<QTcpSocket>> m_sockets;
    int m_connections = 0;
    bool m_drop = false;
};

// nginx from Debian serving the files of a temporary folder on address:80, one process in the
// foreground, stopped with the object.
class NginxServer {
public:
    NginxServer(const QString& address, const QList<std::pair<QString, QByteArray>>& files);
    ~NginxServer();
    static bool installed();
    // Empty when it runs and listens; else what went wrong.
    const QString& failure() const { return m_failure; }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_failure;
};

} // namespace webtest

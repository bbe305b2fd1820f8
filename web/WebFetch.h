#pragma once
// The web socket's side of a page fetch: what the request asks, the connection it goes over, the
// reply collected from it and how that connection fared. fnGetDataFromWEB (web/HttpGet.h) starts
// each fetch; the socket's four events complete it here. One fetch at a time.
#include "platform/KVOSocket.h"

#include <QObject>
#include <QPointer>
#include <QString>

namespace web {

class WebFetch : public QObject {
    Q_OBJECT
public:
    explicit WebFetch(QObject* parent = nullptr);
    ~WebFetch() override;
    WebFetch(const WebFetch&) = delete;
    WebFetch& operator=(const WebFetch&) = delete;

    // The fetch fnGetDataFromWEB uses (nullptr: none, and a request fails with 91). One that goes
    // is taken back on its own.
    static void install(WebFetch* fetch);
    static WebFetch* installed();

    // The socket whose events complete the fetches; nullptr lets the current one go. A socket
    // deleted meanwhile is seen as none.
    void attach(KVOSocket* socket);
    KVOSocket* socket() const { return m_socket.data(); }

    // The fetch under way.
    struct Exchange {
        // Handle of the open connection, 0 = none.
        qint32 handle = 0;
        // The text received so far.
        QString reply;
        // The whole request text, sent once connected.
        QString request;
        // The connection failed: nothing more can arrive for it, so a request waiting for its turn
        // may go ahead.
        bool connectionFailed = false;
        // The reply came over TLS from a host that proved its key.
        bool replySecure = false;
    };
    Exchange& exchange() { return m_exchange; }
    const Exchange& exchange() const { return m_exchange; }

signals:
    // An event of the socket could not be handled; it has been logged.
    void handlerFailed();
    // The exchange moved on: bytes arrived, the connection closed or failed, or a request started
    // meanwhile handed the exchange back. A request waiting for its reply or its turn looks again.
    void progressed();

private:
    void onConnect(qint32 handle);
    void onDataArrival(const QString& chunk, const QString& handle);
    void onClose();
    void onError();
    void failed(const char* name, int mark, const std::exception& error);

    QPointer<KVOSocket> m_socket;
    Exchange m_exchange;
};

} // namespace web

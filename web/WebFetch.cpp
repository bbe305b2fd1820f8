#include "web/WebFetch.h"

#include "core/ErrorLog.h"
#include "core/basMain.h"
#include "platform/KVOSocket.h"
#include "web/HttpGet.h"

namespace web {

namespace {

QPointer<WebFetch> s_installed;

} // namespace

WebFetch::WebFetch(QObject* parent) : QObject(parent) {}

WebFetch::~WebFetch() {
    if (s_installed == this) s_installed = nullptr;
}

void WebFetch::install(WebFetch* fetch) {
    s_installed = fetch;
}

WebFetch* WebFetch::installed() {
    return s_installed.data();
}

void WebFetch::attach(KVOSocket* socket) {
    if (m_socket) m_socket->disconnect(this);
    m_socket = socket;
    if (!socket) return;
    // Nothing escapes into the socket's signals: each handler logs its own failure.
    connect(socket, &KVOSocket::OnConnect, this, &WebFetch::onConnect);
    connect(socket, &KVOSocket::OnDataArrival, this,
            [this](qint32, const QString& chunk, const QString& handle) { onDataArrival(chunk, handle); });
    connect(socket, &KVOSocket::OnClose, this, &WebFetch::onClose);
    connect(socket, &KVOSocket::OnError, this, &WebFetch::onError);
}

void WebFetch::failed(const char* name, int mark, const std::exception& error) {
    basMain::logCaught(QString::fromLatin1(name) + QLatin1Char('[') + QString::number(mark) + QLatin1Char(']'), error);
    emit handlerFailed();
}

void WebFetch::onConnect(qint32 handle) {
    int mark = 1;
    try {
        if (!m_socket) return;
        if (!basMain::g_blnWebWaiting) {
            // The request that opened it has given up waiting: nobody would read the answer.
            mark = 2;
            m_socket->CloseSocket(handle);
            return;
        }
        mark = 3;
        m_exchange.handle = handle;
        m_exchange.reply.clear();
        m_exchange.replySecure = m_socket->isSecure(handle);
        mark = 5;
        m_socket->SendData(m_exchange.request, handle);
    } catch (const std::exception& error) {
        failed("oMySocketWeb_OnConnect", mark, error);
    }
}

void WebFetch::onDataArrival(const QString& chunk, const QString& handle) {
    int mark = 1;
    try {
        if (!basMain::g_blnWebWaiting) return;
        // Only the connection of the waiting request adds to its reply.
        if (handle != QString::number(m_exchange.handle)) return;
        mark = 2;
        // A reply often comes in several segments (headers first, body later): all of it is
        // kept, up to its cap, and the wait ends as soon as the reply is whole or full.
        if (appendWebChunk(m_exchange.reply, chunk)) basMain::g_blnWebWaiting = false;
    } catch (const std::exception& error) {
        failed("oMySocketWeb_OnDataArrival", mark, error);
    }
    emit progressed();
}

void WebFetch::onClose() {
    m_exchange.handle = 0;
    // The request asks the server to close once it has answered: what has arrived is the reply.
    basMain::g_blnWebWaiting = false;
    emit progressed();
}

void WebFetch::onError() {
    m_exchange.handle = 0;
    // The waiting request keeps waiting out its time and then returns what it has; a request
    // waiting for its turn may go ahead now.
    m_exchange.connectionFailed = true;
    emit progressed();
}

void setWebSocket(KVOSocket* socket) {
    if (WebFetch* fetch = WebFetch::installed()) fetch->attach(socket);
}

void forgetWebSocket(const KVOSocket* socket) {
    WebFetch* fetch = WebFetch::installed();
    if (fetch && socket && fetch->socket() == socket) fetch->attach(nullptr);
}

} // namespace web

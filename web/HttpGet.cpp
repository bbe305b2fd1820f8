#include "web/HttpGet.h"

#include "core/ErrorLog.h"
#include "core/basMain.h"
#include "platform/KVOSocket.h"
#include "platform/vb.h"
#include "web/WebFetch.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <functional>

using namespace basMain;

namespace web {

QString escapeBlanks(const QString& page) {
    QString escaped = page;
    escaped.replace(QLatin1Char(' '), QStringLiteral("%20"));
    return escaped;
}

QString buildWebRequest(const QString& host, const QString& page) {
    const QString crlf = QStringLiteral("\r\n");
    // Text files are asked for with one slash; the site pages have always been asked for with
    // two, and the sites answer that form.
    const QString requestLine =
        (page.endsWith(QLatin1String(".txt")) ? QStringLiteral("GET /") : QStringLiteral("GET //")) + page +
        QStringLiteral(" HTTP/1.1");
    return requestLine + crlf + QStringLiteral("Host: ") + host + QStringLiteral(":80") + crlf +
           QStringLiteral("Connection: Close") + crlf + crlf;
}

namespace {

const QString kCrLf = QStringLiteral("\r\n");

// Walks a chunked body from `pos`: true once the last chunk and the trailer have arrived.
bool chunkedBodyComplete(const QString& reply, qsizetype pos) {
    for (;;) {
        const qsizetype lineEnd = reply.indexOf(kCrLf, pos);
        if (lineEnd < 0) return false;
        QString sizeText = reply.mid(pos, lineEnd - pos);
        if (const qsizetype extension = sizeText.indexOf(QLatin1Char(';')); extension >= 0)
            sizeText.truncate(extension);
        bool ok = false;
        const qint64 size = sizeText.trimmed().toLongLong(&ok, 16);
        if (!ok || size < 0) return false; // not chunked after all: the close ends it
        pos = lineEnd + 2;
        if (size == 0) {
            for (;;) { // trailer lines up to the empty line
                const qsizetype trailerEnd = reply.indexOf(kCrLf, pos);
                if (trailerEnd < 0) return false;
                if (trailerEnd == pos) return true;
                pos = trailerEnd + 2;
            }
        }
        if (size > reply.size() - pos - 2) return false;
        pos += size + 2;
    }
}

} // namespace

bool webReplyComplete(const QString& reply) {
    const qsizetype headerEnd = reply.indexOf(QStringLiteral("\r\n\r\n"));
    if (headerEnd < 0) return false;
    const qsizetype bodyStart = headerEnd + 4;
    const QStringList lines = reply.left(headerEnd).split(kCrLf);

    const QStringList status = lines.first().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (status.size() >= 2 && (status[1] == QLatin1String("204") || status[1] == QLatin1String("304"))) return true;

    bool chunked = false;
    qint64 contentLength = -1;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(QLatin1Char(':'));
        if (colon <= 0) continue;
        const QString name = lines[i].left(colon).trimmed();
        const QString value = lines[i].mid(colon + 1).trimmed();
        if (name.compare(QLatin1String("Transfer-Encoding"), Qt::CaseInsensitive) == 0 &&
            value.endsWith(QLatin1String("chunked"), Qt::CaseInsensitive)) {
            chunked = true;
        } else if (name.compare(QLatin1String("Content-Length"), Qt::CaseInsensitive) == 0) {
            bool ok = false;
            const qint64 length = value.toLongLong(&ok);
            // Two different lengths, or one that is no number, frame nothing: the close ends it.
            if (!ok || length < 0 || (contentLength >= 0 && contentLength != length)) return false;
            contentLength = length;
        }
    }
    if (chunked) return chunkedBodyComplete(reply, bodyStart);
    if (contentLength >= 0) return reply.size() - bodyStart >= contentLength;
    return false;
}

bool appendWebChunk(QString& reply, const QString& chunk) {
    const qsizetype room = kMaxReplyChars - reply.size();
    if (chunk.size() >= room) {
        reply += QStringView(chunk).left(std::max<qsizetype>(room, 0));
        return true;
    }
    reply += chunk;
    return webReplyComplete(reply);
}

} // namespace web

namespace {

// A request runs; set from its start to its end, across nested requests.
bool s_requestInFlight = false;

// The pause before a failed early step of a request is tried again.
constexpr int kRetryPauseMs = 100;

// The exchange of the installed fetch, followed through a guard: a fetch that goes while a request
// waits (the window closing) leaves the request a scratch exchange, never one used after its end.
class ExchangeOf {
public:
    ExchangeOf() : m_fetch(web::WebFetch::installed()) {}
    web::WebFetch::Exchange& operator()() { return m_fetch ? m_fetch->exchange() : m_scratch; }
    web::WebFetch* fetch() const { return m_fetch.data(); }
    KVOSocket& socket() const {
        KVOSocket* socket = m_fetch ? m_fetch->socket() : nullptr;
        if (!socket) vb::raise(vb::kErrObjectNotSet);
        return *socket;
    }

private:
    QPointer<web::WebFetch> m_fetch;
    web::WebFetch::Exchange m_scratch;
};

// Runs events until `done` holds, `deadline` passes or the fetch goes; true when `done` holds.
// Nothing polls: the fetch announces every move of its connection (bytes in, closed, failed) and a
// timer ends the wait at its deadline. The loop is nested, so the socket's and the window's
// handlers run inside it and may start a request of their own; that is acceptable here because
// start-up and the alternate server take the page's answer before they go on, the wait window
// tells the user so meanwhile, and a nested request waits its turn in this same way.
bool waitUntil(web::WebFetch* fetch, const std::function<bool()>& done, const QDeadlineTimer& deadline) {
    // Without an application no event can come that would change the outcome.
    if (done() || deadline.hasExpired() || !QCoreApplication::instance()) return done();
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    if (fetch) {
        QObject::connect(fetch, &web::WebFetch::progressed, &loop, [&] {
            if (done()) loop.quit();
        });
        QObject::connect(fetch, &QObject::destroyed, &loop, &QEventLoop::quit);
    }
    timer.start(static_cast<int>(deadline.remainingTime()));
    loop.exec();
    return done();
}

// One request from building its text to closing its connection.
bool runRequest(QString& strHost, const QString& strServerAddress, QString& strPage) {
    int mark = 1;
    int counter = 1;
    ExchangeOf exchange;

    // Runs one statement under the routine's trap: early failures are retried after a pause, a
    // failing close is passed over, anything else is logged and sends the routine to its close.
    auto statement = [&](auto&& body) -> bool {
        for (;;) {
            try {
                body();
                return true;
            } catch (const std::exception& error) {
                if (mark < 100 && counter < 50) {
                    waitUntil(
                        exchange.fetch(), [] { return false; }, QDeadlineTimer(kRetryPauseMs));
                    ++counter;
                    continue;
                }
                if (mark == 5555) return true;
                logCaught(QStringLiteral("*** fnGetDataFromWEB[") + QString::number(mark) + QStringLiteral("] Wait: ") +
                              QString::number(counter * 100) + QStringLiteral(" Seconds *** "),
                          error);
                return false;
            }
        }
    };

    bool going = statement([&] {
        g_blnWebWaiting = true;
        exchange().reply.clear();
        exchange().connectionFailed = false;
        exchange().replySecure = false;
    });
    if (going) going = statement([&] { strPage = web::escapeBlanks(strPage); });
    if (going) going = statement([&] { exchange().request = web::buildWebRequest(strHost, strPage); });
    if (going) going = statement([&] { exchange().handle = 0; });
    mark = 5;
    if (going) going = statement([&] { exchange.socket().Connect(strServerAddress, 80); });

    // The handlers end the wait once the reply is whole (the server closed the connection, or
    // the announced body is in, or the reply is full); otherwise it runs out after kWaitMs.
    if (going)
        waitUntil(
            exchange.fetch(), [] { return !g_blnWebWaiting; }, QDeadlineTimer(web::kWaitMs));

    // After a failure strHost keeps the host name, for the callers' error lines.
    bool result = false;
    if (going) {
        strHost = exchange().reply;
        result = true;
    }

    mark = 5555;
    statement([&] {
        if (exchange().handle > 0) exchange.socket().CloseSocket(exchange().handle);
    });
    exchange().handle = 0;
    g_blnWebWaiting = false;
    return result;
}

} // namespace

namespace basMain {

bool fnGetDataFromWEB(QString& strHost, const QString& strServerAddress, QString& strPage) {
    if (!s_requestInFlight) {
        s_requestInFlight = true;
        const bool result = runRequest(strHost, strServerAddress, strPage);
        s_requestInFlight = false;
        return result;
    }

    // Started by an event handler while another request waits further down the call stack. The
    // socket carries one connection and the variables one request, so this one waits its turn:
    // until the other one's reply is whole or its connection has failed. Then it keeps the
    // other one's reply aside, runs, and puts it back; the other request finds its wait over.
    ExchangeOf exchange;
    const bool turn = waitUntil(
        exchange.fetch(), [&] { return !g_blnWebWaiting || exchange().connectionFailed; },
        QDeadlineTimer(web::kWaitMs));
    if (!turn) return false; // its turn did not come

    // Closing the other one's connection later is harmless once a newer connection replaced it.
    web::WebFetch::Exchange other = exchange();
    const bool result = runRequest(strHost, strServerAddress, strPage);
    other.replySecure = exchange().replySecure;
    exchange() = other;
    g_blnWebWaiting = false;
    // The other request may be waiting further down for exactly this.
    if (web::WebFetch* fetch = exchange.fetch()) emit fetch->progressed();
    return result;
}

} // namespace basMain

bool web::lastReplySecure() {
    const WebFetch* fetch = WebFetch::installed();
    return fetch && fetch->exchange().replySecure;
}

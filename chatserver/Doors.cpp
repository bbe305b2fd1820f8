#include "chatserver/Doors.h"

#include "chatserver/AccountMoves.h"
#include "chatserver/CallAddressProbe.h"
#include "chatserver/ChatService.h"
#include "chatserver/SecureAccounts.h"
#include "chatserver/WebPages.h"
#include "chatserver/net/HttpRequest.h"
#include "chatserver/net/Logging.h"
#include "wire/Codepage.h"
#include "wire/Protocol.h"

#include <QElapsedTimer>
#include <charconv>
#include <optional>
#include <utility>

namespace chatserver {

namespace {

class ChatConnection final : public Connection {
public:
    ChatConnection(TcpListener& listener, int fd, const QString& peer, quint64 serial, ChatService& service,
                   CallAddressProbe* probe, SecureAccounts* accounts, AccountMoves* moves)
        : Connection(listener, fd, peer, serial), m_service(service), m_probe(probe), m_accounts(accounts),
          m_moves(moves), m_reader(listener.limits().maxRequestBytes) {
        m_started.start();
    }
    ~ChatConnection() override {
        if (m_ticket != 0) m_probe->cancel(m_ticket);
    }

protected:
    void onBytes(const QByteArray& bytes) override {
        ++m_chunks;
        evaluate(bytes, false);
    }
    void onSettled() override {
        if (!m_held)
            evaluate({}, true);
        else if (m_ticket == 0)
            answerHeld();
    }

private:
    // The client writes its request in one piece, so a request that is whole in its first chunk
    // and ends the way a call address ends is answered at once. Otherwise (its end is uncertain,
    // or it came in pieces and more may follow) it is answered once nothing more has arrived for
    // the grace time.
    void evaluate(QByteArrayView bytes, bool graceOver) {
        if (answered() || m_held) return;
        const ChatParse& parse = m_reader.feed(bytes);
        switch (parse.status) {
        case ChatParse::Status::Incomplete:
            return;
        case ChatParse::Status::Malformed: {
            ++stats().malformed;
            const ChatService::Outcome outcome = m_service.refuseMalformed(parse.knownCode);
            qCInfo(lcChat).noquote() << peer() << "malformed:" << parse.reason;
            if (outcome.reply)
                send(*outcome.reply);
            else
                drop();
            return;
        }
        case ChatParse::Status::Complete:
            break;
        }
        requestComplete();
        if (!graceOver && !(parse.settled && m_chunks == 1)) {
            settleLater(listener().limits().settleMs);
            return;
        }
        ChatService::Outcome outcome;
        try {
            if (const std::optional<ChatService::Outcome> moved =
                    m_moves ? m_moves->answer(parse.request, peer(), secure()) : std::nullopt) {
                logAndSend(parse.request.code, *moved);
                return;
            }
            if (const std::optional<QString> refusal =
                    m_accounts ? m_accounts->refusal(parse.request, secure()) : std::nullopt) {
                logAndSend(parse.request.code, {refusal, QStringLiteral("signs in over TLS only")});
                return;
            }
            outcome = m_service.handle(parse.request, peer(), m_accounts && !secure());
            if (m_accounts) m_accounts->noteAnswer(parse.request, secure(), outcome);
            if (m_moves)
                if (std::optional<ChatService::Outcome> replaced = m_moves->explainRefusal(parse.request, outcome))
                    outcome = *replaced;
        } catch (const std::exception& error) {
            ++stats().failed;
            qCWarning(lcServer).noquote() << listener().name() << peer() << "failed:" << error.what();
            outcome = m_service.refuseUnavailable(parse.request.code, QStringLiteral("store failed"));
        }
        if (!outcome.reply) {
            qCInfo(lcChat).noquote() << peer() << parse.request.code << "-> closed" << outcome.note;
            drop();
            return;
        }
        if (holdForCheck(outcome)) return;
        logAndSend(parse.request.code, outcome);
    }

    void logAndSend(const QString& requestCode, const ChatService::Outcome& outcome) {
        if (lcChat().isInfoEnabled()) {
            // "peer code -> reply-code note 123 us"; the reply's code is what comes before its
            // first separator (a poll's reply is long).
            const QStringView replyCode = QStringView(*outcome.reply).left(outcome.reply->indexOf(wire::kSep));
            char micros[24];
            const char* const end = std::to_chars(micros, micros + sizeof micros, m_started.nsecsElapsed() / 1000).ptr;
            QString line;
            line.reserve(peer().size() + requestCode.size() + replyCode.size() + outcome.note.size() + 40);
            line.append(peer()).append(u' ').append(requestCode).append(u" -> ").append(replyCode).append(u' ');
            line.append(outcome.note).append(u' ').append(QLatin1StringView(micros, end)).append(u" us");
            logInfo(lcChat(), line);
        }
        send(*outcome.reply);
    }

    // A log-in's answer waits while its call address is checked, within the time the exchange
    // has left; the loop serves everyone else meanwhile. False when no check was started.
    bool holdForCheck(const ChatService::Outcome& outcome) {
        if (!m_probe || outcome.callAddressToCheck.isEmpty() || !isLogInAnswer(*outcome.reply)) return false;
        constexpr qint64 kMarginMs = 250; // for the answer to go out before the deadline
        const qint64 leftMs = listener().limits().requestTimeoutMs - m_started.elapsed() - kMarginMs;
        QString why;
        m_ticket = m_probe->check(
            outcome.accountToCheck, outcome.callAddressToCheck, peer(), int(std::max<qint64>(0, leftMs)),
            [this](CallAddressProbe::Result result) {
                m_ticket = 0;
                m_silent = result == CallAddressProbe::Result::Silent;
                settleLater(0); // answered from the listener's own turn, which tidies up after it
            },
            &why);
        if (m_ticket == 0) {
            qCDebug(lcChat).noquote() << peer() << "call address not checked:" << why;
            return false;
        }
        m_held = outcome;
        return true;
    }

    void answerHeld() {
        ChatService::Outcome outcome = *std::exchange(m_held, std::nullopt);
        if (m_silent) {
            outcome.reply = withSilentAddressNotice(*outcome.reply, outcome.callAddressToCheck);
            outcome.note += QStringLiteral(", call address silent");
        } else {
            outcome.note += QStringLiteral(", call address answers");
        }
        logAndSend(wire::codeText(wire::Code::LogIn), outcome);
    }

    void send(const QString& payload) {
        // The prefix counts characters as the client decodes them, one per byte. Stored text
        // came in through the code page and is one byte per character already, so nearly every
        // reply is framed straight into its bytes; anything else (a character outside the code
        // page) is brought to the form the client will see first.
        if (std::optional<QByteArray> bytes = wire::frameReplyLatin1(payload)) {
            answer(*bytes, false);
            return;
        }
        const QString text = wire::frameReply(payload);
        QByteArray bytes = wire::toCp1252(text);
        if (bytes.size() != text.size())
            bytes = wire::toCp1252(wire::frameReply(wire::fromCp1252(wire::toCp1252(payload))));
        answer(bytes, false);
    }

    ChatService& m_service;
    CallAddressProbe* m_probe;
    SecureAccounts* m_accounts;
    AccountMoves* m_moves;
    quint64 m_ticket = 0; // the check under way
    std::optional<ChatService::Outcome> m_held;
    bool m_silent = false;
    ChatRequestReader m_reader;
    int m_chunks = 0;
    QElapsedTimer m_started;
};

class WebConnection final : public Connection {
public:
    WebConnection(TcpListener& listener, int fd, const QString& peer, quint64 serial, WebPages& pages)
        : Connection(listener, fd, peer, serial), m_pages(pages),
          m_reader(std::size_t(listener.limits().maxRequestBytes)) {}

protected:
    void onBytes(const QByteArray& bytes) override {
        switch (m_reader.feed(bytes)) {
        case HttpRequestReader::Status::Incomplete:
            return;
        case HttpRequestReader::Status::Malformed:
            ++stats().malformed;
            qCInfo(lcWeb).noquote() << peer() << "malformed request";
            answer(WebPages::serialise({400, QByteArray("Bad request."), {}}), true);
            return;
        case HttpRequestReader::Status::Complete:
            break;
        }
        WebResponse response;
        try {
            response = m_pages.answer(m_reader.method(), m_reader.target(), peer());
        } catch (const std::exception& error) {
            ++stats().failed;
            qCWarning(lcWeb).noquote() << peer() << "failed:" << error.what();
            response = {500, QByteArray("Server error."), {}};
        }
        qCInfo(lcWeb).noquote() << peer() << QString::fromLatin1(targetPage(m_reader.target())).left(40) << "->"
                                << response.status << response.note;
        answer(WebPages::serialise(response), true);
    }

private:
    WebPages& m_pages;
    HttpRequestReader m_reader;
};

} // namespace

ChatListener::ChatListener(ChatService& service, const ListenerLimits& limits, QObject* parent)
    : TcpListener(QStringLiteral("chat"), limits, parent), m_service(service) {}

std::unique_ptr<Connection> ChatListener::createConnection(int fd, const QString& peer, quint64 serial) {
    return std::make_unique<ChatConnection>(*this, fd, peer, serial, m_service, m_probe, m_accounts, m_moves);
}

WebListener::WebListener(WebPages& pages, const ListenerLimits& limits, QObject* parent)
    : TcpListener(QStringLiteral("web"), limits, parent), m_pages(pages) {}

std::unique_ptr<Connection> WebListener::createConnection(int fd, const QString& peer, quint64 serial) {
    return std::make_unique<WebConnection>(*this, fd, peer, serial, m_pages);
}

} // namespace chatserver

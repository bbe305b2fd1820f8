#include "chatserver/WebPages.h"

#include "chatserver/net/HttpRequest.h"
#include "wire/Codepage.h"
#include "wire/MessageCodes.h"
#include "wire/Protocol.h"

namespace chatserver {

namespace {

QByteArray lookValue(const QString& value) {
    return QByteArray(kLookStart) + wire::toCp1252(value) + QByteArray(kLookEnd);
}

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    default:
        return "Error";
    }
}

WebResponse plain(int status, const char* text, QString note) {
    return {status, QByteArray(text), std::move(note)};
}

} // namespace

qint64 dateStamp(int year, int month, int day) {
    return qint64(month) * 1'000'000 + qint64(day) * 10'000 + year;
}

WebPages::WebPages(ChatService& service, WebSettings settings) : m_service(service), m_settings(std::move(settings)) {}

QByteArray WebPages::serialise(const WebResponse& response) {
    QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reasonPhrase(response.status) +
                     "\r\nContent-Type: text/html; charset=windows-1252\r\nContent-Length: " +
                     QByteArray::number(response.body.size()) +
                     "\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n";
    out += response.body;
    return out;
}

WebResponse WebPages::answer(const QByteArray& method, const QByteArray& target, const QString& peer) {
    if (method != "GET") return plain(405, "Only GET is served.", QStringLiteral("method"));
    const QString page = QString::fromLatin1(targetPage(target));
    auto is = [&page](const QString& name) { return page.compare(name, Qt::CaseInsensitive) == 0; };

    if (is(QStringLiteral("ClientChatIP.aspx"))) {
        // The client skips one character after the start marker: the blank.
        return {200, QByteArray(kChatStart) + ' ' + peer.toLatin1() + ' ' + QByteArray(kChatEnd),
                QStringLiteral("own address")};
    }
    if (is(QStringLiteral("infoip.asp")))
        return {200, QByteArray(kLookStart) + ' ' + peer.toLatin1() + ' ' + QByteArray(kLookEnd),
                QStringLiteral("own address")};
    if (is(m_settings.redirectPage)) {
        return {200,
                QByteArray(kLookStart) + ' ' + wire::toCp1252(m_service.settings().publicAddress) + ' ' +
                    QByteArray(kLookEnd) + QByteArray::number(m_settings.redirectStamp),
                QStringLiteral("redirect")};
    }
    if (is(QStringLiteral("InfoDT.asp"))) return alternateServer(targetQuery(target), peer);
    if (is(QStringLiteral("confirm"))) return confirmationPage(targetQuery(target));
    return plain(404, "Not found.", QStringLiteral("no such page"));
}

namespace {
const char* confirmationNote(Confirmation::Outcome outcome) {
    switch (outcome) {
    case Confirmation::Outcome::Confirmed:
        return "confirmed";
    case Confirmation::Outcome::AlreadyConfirmed:
        return "confirmed before";
    case Confirmation::Outcome::Taken:
        return "address taken";
    case Confirmation::Outcome::Unknown:
        break;
    }
    return "unknown code";
}
} // namespace

WebResponse WebPages::confirmationPage(const QByteArray& query) {
    const Confirmation confirmation = m_service.confirmAddress(QString::fromLatin1(query));
    QString text = confirmationText(confirmation).toHtmlEscaped();
    return {200,
            "<!DOCTYPE html><html><head><title>ColloqChat</title></head><body><p>" + wire::toCp1252(text) +
                "</p></body></html>\n",
            QStringLiteral("confirmation: ") + QLatin1String(confirmationNote(confirmation.outcome))};
}

WebResponse WebPages::alternateServer(const QByteArray& query, const QString& peer) {
    static const QByteArray kParam = "reqdt=";
    if (!query.toLower().startsWith(kParam)) return plain(400, "No request.", QStringLiteral("no ReqDt"));
    const QStringList fields = wire::fromCp1252(percentDecoded(query.mid(kParam.size()))).split(wire::kSep);
    const QString requestCode = fields.value(0).trimmed();
    const std::optional<wire::Code> code = wire::codeOf(requestCode);
    QString note;

    if (code == wire::Code::DatedRecords) {
        // 77, user ID, the client's date and time, its call address, the page's extra value.
        const std::optional<ChatService::DatedRecords> dated =
            m_service.alternatePoll(fields.value(1), fields.value(3), peer, &note);
        if (!dated) return {200, QByteArray("Refused."), QStringLiteral("poll refused: ") + note};
        QByteArray body = lookValue(wire::codeText(wire::Code::DatedRecords));
        for (const QStringList& record : dated->records)
            for (const QString& field : record)
                body += lookValue(field);
        return {200, body, QStringLiteral("poll: ") + note};
    }
    if (code == wire::Code::SignOff) {
        if (!m_service.alternateSignOff(fields.value(1), peer, &note))
            return {200, QByteArray("Refused."), QStringLiteral("sign-off refused: ") + note};
        return {200, lookValue(wire::codeText(wire::Code::SignOff)), QStringLiteral("sign-off")};
    }
    return plain(200, "Not served here.", QStringLiteral("alternate code ") + requestCode.left(8));
}

} // namespace chatserver

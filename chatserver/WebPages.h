#pragma once
// The server's web pages: the caller's own address (ClientChatIP.aspx, infoip.asp), where the
// chat server lives (the redirect page) and the alternate server (InfoDT.asp). Bodies are the
// marker texts the client searches for, with nothing between the markers but the values.
#include "chatserver/ChatService.h"

#include <QByteArray>
#include <QString>

namespace chatserver {

struct WebSettings {
    QString redirectPage = QStringLiteral("ChatServerIP.asp");
    // Date stamp of the redirect answer, as the number mmddyyyy; newer stamps win at the client.
    qint64 redirectStamp = 0;
};

struct WebResponse {
    int status = 200;
    QByteArray body;
    QString note; // for the log line
};

// Markers the pages write around their values.
inline constexpr char kLookStart[] = "StartLookWANIP =";
inline constexpr char kLookEnd[] = "EndLookWANIP";
inline constexpr char kChatStart[] = "StartClientChatWANIP =";
inline constexpr char kChatEnd[] = "EndClientChatWANIP";

// The stamp of a date in the redirect page's form: month, day and year as one number.
qint64 dateStamp(int year, int month, int day);

class WebPages {
public:
    WebPages(ChatService& service, WebSettings settings);

    WebResponse answer(const QByteArray& method, const QByteArray& target, const QString& peer);
    // The whole HTTP response for one answer, with "Connection: close".
    static QByteArray serialise(const WebResponse& response);

private:
    WebResponse alternateServer(const QByteArray& query, const QString& peer);
    // The page a confirmation mail's link opens: it confirms, and says what came of it.
    WebResponse confirmationPage(const QByteArray& query);

    ChatService& m_service;
    WebSettings m_settings;
};

} // namespace chatserver

#include "web/WebLookup.h"

#include "core/ServerKeys.h"

#include "BuildConfig.h"
#include "chatlink/ChatProtocol.h"
#include "core/ErrorLog.h"
#include "core/SettingsFiles.h"
#include "core/basMain.h"
#include "platform/vb.h"
#include "web/AltServer.h"
#include "web/WebText.h"
#include "wire/Protocol.h"

namespace basMain {

namespace {

const QString kDefaultWebIp = QStringLiteral(COLLOQ_DEFAULT_WEB_IP);
const QString kDefaultWebHost = QStringLiteral(COLLOQ_DEFAULT_WEB_HOST);
const QString kDefaultAltServerBase = QStringLiteral(COLLOQ_DEFAULT_ALT_SERVER_BASE);

QString markText(int mark) {
    return QLatin1Char('[') + QString::number(mark) + QLatin1Char(']');
}

// Row `row` of a site table, or nothing once the table has shrunk: the tables may change while
// a page is awaited, so no reference into them is held across a request.
std::optional<std::array<QString, 4>> siteRow(const SiteTable& table, qsizetype row) {
    if (row >= table.size()) return std::nullopt;
    return table[row];
}

bool hasSites(const SiteTable& table) {
    return !table.isEmpty() && !table.front()[0].isEmpty();
}

} // namespace

QString fnGetHomeIP() {
    int mark = 40;
    QString reply;
    try {
        vb::Err().Clear();
        QString address;
        g_blnHomeIPSecure = false;
        if (fnFileExists(userSettingsFilePath())) {
            loadSiteTables();
            qint32 best = 0;
            for (qsizetype row = 0; hasSites(g_arrRedirectSites); ++row) {
                const auto site = siteRow(g_arrRedirectSites, row);
                if (!site) break;
                mark = 100;
                reply = (*site)[1];
                QString page = (*site)[2];
                const bool answered = fnGetDataFromWEB(reply, (*site)[0], page);
                if (!answered || reply.isEmpty() || !reply.contains(web::kLookStart)) continue;
                mark = 119;
                const std::optional<web::RedirectAnswer> answer = web::redirectAnswer(reply);
                mark = 120;
                if (!answer) continue;
                mark = 211;
                // The newest stamp wins; among equal stamps the earliest site keeps its answer.
                if (fnCompareDates(answer->stamp, best)) {
                    address = answer->address;
                    best = answer->stamp;
                    g_blnHomeIPSecure = web::lastReplySecure();
                }
            }
        }

        mark = 199;
        if (address.isEmpty()) {
            fnLogError(QStringLiteral("*** fnGetHomeIP[199] Internet Server Chat Redirect WebSite Not Found?"), false);
        } else {
            g_strMyWanIP = fnGetClientWANIP(address);
        }
        return address;
    } catch (const std::exception& error) {
        logCaught(QStringLiteral("*** fnGetHomeIP") + markText(mark) + QLatin1Char(' ') + reply +
                      QStringLiteral(" *** "),
                  error);
    }
    return {};
}

QString fnGetClientWANIP(const QString& strChatServerIP) {
    int mark = 0;
    QString reply;
    try {
        QString value;
        g_strAltServerBase.clear();

        // The chat server's own page: the address it sees the client connect from.
        reply = strChatServerIP;
        QString page = QStringLiteral("ClientChatIP.aspx");
        bool answered = fnGetDataFromWEB(reply, strChatServerIP, page);
        mark = 100;
        if (answered && !reply.isEmpty()) value = web::clientChatValue(reply, &mark, 102).value_or(QString());

        if (value.isEmpty()) {
            reply = kDefaultWebHost;
            page = QStringLiteral("infoip.asp");
            answered = fnGetDataFromWEB(reply, kDefaultWebIp, page);
            mark = 110;
            if (answered && !reply.isEmpty()) value = web::lookWanValue(reply, &mark, 112).value_or(QString());
            if (!value.isEmpty()) g_strAltServerBase = kDefaultAltServerBase;
        }

        if (value.isEmpty() && hasSites(g_arrWanIPSites)) {
            for (qsizetype row = 0;; ++row) {
                const auto site = siteRow(g_arrWanIPSites, row);
                if (!site) break;
                mark = 200;
                reply = (*site)[1];
                page = (*site)[2];
                answered = fnGetDataFromWEB(reply, (*site)[0], page);
                mark = 201;
                if (!answered || reply.isEmpty()) continue;
                // The first site whose answer carries both markers decides, even with no address.
                if (const std::optional<QString> found = web::lookWanValue(reply, &mark, 202)) {
                    value = *found;
                    break;
                }
            }
            if (!value.isEmpty()) g_strAltServerBase = kDefaultAltServerBase;
        }
        mark = 299;
        return value;
    } catch (const std::exception& error) {
        logCaught(QStringLiteral("*** fnGetClientWANIP") + markText(mark) + QStringLiteral(" Chat Server IP: ") +
                      strChatServerIP + QStringLiteral(" ; ") + reply + QStringLiteral(" *** "),
                  error);
    }
    return {};
}

bool fnCompareDates(qint32 lngDate1, qint32 lngDate2) {
    try {
        if (lngDate1 > 0 && lngDate2 == 0) return true;
        if (lngDate1 == 0 && lngDate2 >= 0) return false;
        return vb::Val(web::yearFirstStamp(lngDate1)) > vb::Val(web::yearFirstStamp(lngDate2));
    } catch (const std::exception& error) {
        logCaught(QStringLiteral("*** fnCompareDates "), error);
    }
    return false;
}

bool fnUseAlternateSRV(bool* answered) {
    int mark = 0;
    // Every request of these pages names the user's ID (see PinnedWebHosts).
    struct CarriesId {
        CarriesId() { g_blnWebCarriesId = true; }
        ~CarriesId() { g_blnWebCarriesId = false; }
    } carriesId;
    try {
        g_strMsgReceived.clear();
        web::AltServerAnswers answers;
        mark = 1;
        // The pages get their own form of the request; the pending text stays as it was, since
        // at start-up the chat socket sends it next and must send the log-in itself. Every page
        // gets this request, also when a handler run during a wait changes the pending one.
        const QString request = web::alternateRequest(g_strMsgToSend, g_strMyWanIP, vb::Now());
        mark = 4;

        if (!g_strAltServerBase.isEmpty()) {
            mark = 5;
            QString reply = kDefaultWebHost;
            QString page = QStringLiteral("InfoDT.asp?ReqDt=") + request + wire::kSep + web::kInfoDtExtra;
            if (!fnGetDataFromWEB(reply, kDefaultWebIp, page)) reply.clear();
            mark = 6;
            if (!g_blnLogOffPending && !reply.isEmpty() && reply.contains(web::kLookEnd)) {
                if (answered) *answered = true;
                mark = 10;
                if (answers.readDefaultServer(reply, g_strMsgReceived, &mark) ==
                    web::AltServerAnswers::Outcome::Malformed) {
                    g_strMsgReceived.clear();
                    return false;
                }
            }
        }

        if (hasSites(g_arrAltServerSites)) {
            // While logging off the sites are only told; their answers are not read.
            const bool loggingOff = g_blnLogOffPending;
            for (qsizetype row = 0;; ++row) {
                const auto site = siteRow(g_arrAltServerSites, row);
                if (!site) break;
                mark = loggingOff ? 101 : 102;
                QString reply = (*site)[1];
                QString page = (*site)[2] + QStringLiteral("?ReqDt=") + request + wire::kSep + (*site)[3];
                const bool siteAnswered = fnGetDataFromWEB(reply, (*site)[0], page);
                if (loggingOff || !siteAnswered || reply.isEmpty() || !reply.contains(web::kLookEnd)) continue;
                if (answered) *answered = true;
                mark = 106;
                if (answers.readSite(reply, g_strMsgReceived, &mark) == web::AltServerAnswers::Outcome::Malformed) {
                    g_strMsgReceived.clear();
                    return false;
                }
            }
        }

        mark = 200;
        if (vb::Val(answers.code()) == 77) g_strMsgReceived = answers.message();
        mark = 270;
        if (!g_blnLogOffPending && !g_strMsgReceived.isEmpty()) fnUseMSGReceived();
        mark = 300;
        return true;
    } catch (const std::exception& error) {
        logCaught(QStringLiteral("*** fnUseAlternateSRV") + markText(mark) + QStringLiteral(" *** "), error);
    }
    g_strMsgReceived.clear();
    return false;
}

} // namespace basMain

// Web socket handlers of the main window: they complete the exchange fnGetDataFromWEB starts.
#include "app/frmMain.h"
#include "core/ErrorLog.h"
#include "core/basMain.h"
#include "platform/KVOSocket.h"
#include "web/HttpGet.h"

#include <QPlainTextEdit>

using namespace basMain;

namespace {

void reportHandlerError(QWidget* status, const char* name, int mark, const std::exception& error) {
    logCaught(QString::fromLatin1(name) + QLatin1Char('[') + QString::number(mark) + QLatin1Char(']'), error);
    if (status) status->setVisible(true);
}

} // namespace

void frmMain::oMySocketWeb_OnConnect(qint32 lngSocketHandle) {
    int mark = 1;
    try {
        if (!oMySocketWeb) return;
        if (!g_blnWebWaiting) {
            // The request that opened it has given up waiting: nobody would read the answer.
            mark = 2;
            oMySocketWeb->CloseSocket(lngSocketHandle);
            return;
        }
        mark = 3;
        g_lngWebSocketHandle = lngSocketHandle;
        g_strWebReply.clear();
        web::g_blnWebReplySecure = oMySocketWeb->isSecure(lngSocketHandle);
        mark = 5;
        oMySocketWeb->SendData(g_strWebRequest, lngSocketHandle);
    } catch (const std::exception& error) {
        reportHandlerError(txtStatus, "oMySocketWeb_OnConnect", mark, error);
    }
}

void frmMain::oMySocketWeb_OnDataArrival(qint32 /*bytesTotal*/, const QString& strDataReceive,
                                         const QString& lngSocketHandle) {
    int mark = 1;
    try {
        if (!g_blnWebWaiting) return;
        // Only the connection of the waiting request adds to its reply.
        if (lngSocketHandle != QString::number(g_lngWebSocketHandle)) return;
        mark = 2;
        // A reply often comes in several segments (headers first, body later): all of it is
        // kept, up to its cap, and the wait ends as soon as the reply is whole or full.
        if (web::appendWebChunk(g_strWebReply, strDataReceive)) g_blnWebWaiting = false;
    } catch (const std::exception& error) {
        reportHandlerError(txtStatus, "oMySocketWeb_OnDataArrival", mark, error);
    }
}

void frmMain::oMySocketWeb_OnClose() {
    g_lngWebSocketHandle = 0;
    // The request asks the server to close once it has answered: what has arrived is the reply.
    g_blnWebWaiting = false;
}

void frmMain::oMySocketWeb_OnError(qint32 /*Number*/, const QString& /*Description*/) {
    g_lngWebSocketHandle = 0;
    // The waiting request keeps waiting out its time and then returns what it has; a request
    // waiting for its turn may go ahead now.
    web::g_blnWebConnectionFailed = true;
}

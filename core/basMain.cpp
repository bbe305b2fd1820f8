#include "core/basMain.h"

namespace basMain {

void resetSiteTable(SiteTable& table) {
    table.clear();
    table.append(std::array<QString, 4>{});
}

void resetGlobals() {
    g_strMsgToSend.clear();
    g_strMsgReceived.clear();
    g_strServerIP.clear();
    g_strServerPort.clear();
    g_strMyWanIP.clear();
    g_strAltServerBase.clear();
    g_lngChatSocketHandle = 0;
    g_blnWebWaiting = false;
    g_blnLogOffPending = false;
    g_blnQuitNoLogOff = false;
    g_blnRegistrationDone = false;
    g_blnRegistrationTimeOut = false;
    g_intOnLineTicks = 0;
    g_strDialogResult.clear();
    resetSiteTable(g_arrRedirectSites);
    resetSiteTable(g_arrWanIPSites);
    resetSiteTable(g_arrAltServerSites);
}

} // namespace basMain

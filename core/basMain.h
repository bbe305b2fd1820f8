#pragma once
// Shared state of the program. Plain variables on the one UI thread; the waiting loops and the
// event handlers talk to each other only through them.
#include <QList>
#include <QString>
#include <array>

namespace basMain {

// A web-site table of the user settings file: rows of four text columns.
using SiteTable = QList<std::array<QString, 4>>;

inline QString g_strMsgToSend;
inline QString g_strMsgReceived;
inline QString g_strServerIP;
inline QString g_strServerPort;
inline QString g_strMyWanIP;
inline QString g_strAltServerBase;
inline qint32 g_lngChatSocketHandle = 0;
inline bool g_blnWebWaiting = false;
inline bool g_blnLogOffPending = false;
inline bool g_blnQuitNoLogOff = false;
inline bool g_blnRegistrationDone = false;
inline bool g_blnRegistrationTimeOut = false;
inline qint16 g_intOnLineTicks = 0;
inline QString g_strDialogResult;
inline SiteTable g_arrRedirectSites;
inline SiteTable g_arrWanIPSites;
inline SiteTable g_arrAltServerSites;

// Resets every shared variable to its value at program start (tests use it between cases).
void resetGlobals();

// Sizes a site table to one row whose first cell is empty.
void resetSiteTable(SiteTable& table);

} // namespace basMain

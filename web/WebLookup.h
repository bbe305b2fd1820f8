#pragma once
// Web lookups: where the chat server lives, the client's own WAN address, and the alternate
// server that keeps the user list alive while the chat server cannot be reached. Every page is
// fetched with fnGetDataFromWEB (web/HttpGet.h).
#include "web/HttpGet.h"

#include <QString>

namespace basMain {

// The chat server's current address as published by the redirect sites of ColloqChat.kvo (the
// newest date stamp wins), or empty text. Loads the three site tables from that file and, when
// an address was found, sets g_strMyWanIP from fnGetClientWANIP.
QString fnGetHomeIP();
// The address fnGetHomeIP returned came over TLS from a host that proved its key.
inline bool g_blnHomeIPSecure = false;

// The client's WAN address from the chat server's ClientChatIP.aspx, else from the default web
// server's infoip.asp, else from the WAN-address sites; empty text when none answers. Sets
// g_strAltServerBase (alternate-server mode) when the address came from a web server.
QString fnGetClientWANIP(const QString& strChatServerIP);

// True when date stamp lngDate1 (mmddyyyy, mddyyyy or mdyyyy) is a later date than lngDate2.
// A stamp of 0 is never later than anything.
bool fnCompareDates(qint32 lngDate1, qint32 lngDate2);

// Carries the pending request in g_strMsgToSend over the alternate server's web pages (in the
// pages' own form, leaving the pending text unchanged), merges their answers and hands them to fnUseMSGReceived as a
// message 77. True when it ran to its end; false for a malformed reply or an error. `answered`
// (if given) tells whether any page answered at all.
bool fnUseAlternateSRV(bool* answered = nullptr);

} // namespace basMain

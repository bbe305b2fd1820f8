#pragma once
// The hand-built HTTP GET over the main window's web socket. One request at a time: the routine
// and the four oMySocketWeb handlers share the variables below.
#include <QString>

class KVOSocket;

namespace basMain {

// Handle of the open web connection, 0 = none.
inline qint32 g_lngWebSocketHandle = 0;
// Text received for the current request.
inline QString g_strWebReply;
// The full request text, sent once connected.
inline QString g_strWebRequest;

// Fetches one page from port 80 of strServerAddress. On entry strHost is the name for the Host
// line; on return it holds the whole reply ("" when nothing arrived), or still the host name
// when the request failed. Every blank of strPage is
// rewritten to "%20" in place. True when the wait ended without an error, also when nothing
// arrived within about 7 seconds; false when an error escaped the retries or when another request
// still waited when the wait for its turn ran out.
bool fnGetDataFromWEB(QString& strHost, const QString& strServerAddress, QString& strPage);

} // namespace basMain

namespace web {

// The socket fnGetDataFromWEB sends over: the main window installs its web socket when it makes
// it and takes it back before releasing it. Without one a request fails with 91.
void setWebSocket(KVOSocket* socket);
// Takes the socket back when it is the one installed.
void forgetWebSocket(const KVOSocket* socket);

// Number of 10 ms passes a request waits for its reply, and the time that wait may take at most
// however long each pass runs: about 7 seconds from the start of the wait, whatever arrives.
inline constexpr int kWaitPasses = 700;
inline constexpr qint64 kWaitMs = 7000;
// The most of a reply that is kept, in characters: the pages answer in a few hundred, and a site
// sending more is cut off there.
inline constexpr qsizetype kMaxReplyChars = qsizetype{64} * 1024;

// Adds a received chunk to the reply, up to kMaxReplyChars. True when the reply is over: it is
// whole by its HTTP framing, or it has reached the cap.
bool appendWebChunk(QString& reply, const QString& chunk);

// Set by the error handler when the connection of the waiting request failed: nothing more can
// arrive for it, so a request waiting for its turn may go ahead.
inline bool g_blnWebConnectionFailed = false;
// The reply of the last request came over TLS from a host that proved its key.
inline bool g_blnWebReplySecure = false;

// The page with every blank written as "%20".
QString escapeBlanks(const QString& page);

// The request text for a page whose blanks are already escaped: "GET /" for a name ending in
// exactly ".txt", "GET //" for every other page, then the Host line with ":80", "Connection:
// Close" and the empty line. No other header.
QString buildWebRequest(const QString& host, const QString& page);

// True when the text collected so far is a whole HTTP reply: its headers are complete and either
// its Content-Length body is in, its chunked body has ended, or its status carries no body.
// A reply framed by neither ends when the server closes the connection.
bool webReplyComplete(const QString& reply);

} // namespace web

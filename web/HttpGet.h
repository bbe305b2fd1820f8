#pragma once
// The hand-built HTTP GET over the main window's web socket. One request at a time: the routine
// and the socket's events share the exchange of the installed web::WebFetch (web/WebFetch.h).
#include <QString>

class KVOSocket;

namespace basMain {

// Fetches one page from port 80 of strServerAddress. On entry strHost is the name for the Host
// line; on return it holds the whole reply ("" when nothing arrived), or still the host name
// when the request failed. Every blank of strPage is
// rewritten to "%20" in place. True when the wait ended without an error, also when nothing
// arrived within about 7 seconds; false when an error escaped the retries or when another request
// still waited when the wait for its turn ran out.
bool fnGetDataFromWEB(QString& strHost, const QString& strServerAddress, QString& strPage);

} // namespace basMain

namespace web {

// The socket of the installed fetch, as the window makes its web socket; without one a request
// fails with 91.
void setWebSocket(KVOSocket* socket);
// Lets the socket go when it is the installed fetch's, before the window releases it.
void forgetWebSocket(const KVOSocket* socket);

// The longest a request waits for its reply, and a request started meanwhile for its turn: 7
// seconds from the start of the wait, whatever arrives.
inline constexpr qint64 kWaitMs = 7000;
// The most of a reply that is kept, in characters: the pages answer in a few hundred, and a site
// sending more is cut off there.
inline constexpr qsizetype kMaxReplyChars = qsizetype{64} * 1024;

// Adds a received chunk to the reply, up to kMaxReplyChars. True when the reply is over: it is
// whole by its HTTP framing, or it has reached the cap.
bool appendWebChunk(QString& reply, const QString& chunk);

// The reply of the last request came over TLS from a host that proved its key.
bool lastReplySecure();

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

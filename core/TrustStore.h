#pragma once
// What this client has learnt to trust, in ColloqChat.trust beside the settings files (the
// user's alone; the older files stay as they were, so older clients still read them). Plain
// UTF-8, one entry a line, fields separated by a tab:
//   contact <e-mail>                   the user compared the short authentication string of a
//                                      call with this contact, and it matched
//   server  <address:port> <sha-256>   the chat server's certificate, pinned at the first
//                                      authenticated contact (lower-case hex of its DER digest)
//   option  encrypted-calls-only       calls that cannot be encrypted are refused
// Lines the client does not know are kept as they are. Every change rewrites the file in one
// piece; each question reads it again, so two windows on one folder never disagree for long.
#include <QByteArray>
#include <QString>

namespace trust {

QString trustFilePath();

// Contacts are known by their e-mail address (the caller's SIP address for a caller who is no
// contact), compared without regard to case.
bool isContactVerified(const QString& email);
// Raises 75 or 61 (as the settings files do) when the file cannot be written.
void setContactVerified(const QString& email, bool verified);

// The pinned certificate digest of the chat server at `hostPort`, or empty when none is.
QByteArray pinnedCertificate(const QString& hostPort);
void pinCertificate(const QString& hostPort, const QByteArray& sha256Hex);
// Every key pinned for a server at `host` (any port): the web pages of a chat server's host show
// the chat server's key.
QList<QByteArray> pinnedCertificatesOfHost(const QString& host);
// Whether any chat server has been seen encrypted.
bool anyPinnedCertificate();
// Forgets the pin (the user accepted the server's new certificate).
void forgetCertificate(const QString& hostPort);

bool encryptedCallsOnly();
void setEncryptedCallsOnly(bool only);

} // namespace trust

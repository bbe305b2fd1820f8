#pragma once
// TLS for the listeners: the server's certificate and key (from files, an ACME-issued pair say,
// or a self-signed pair the server makes for itself at its first start), and one TLS session per
// accepted connection on the listener's non-blocking socket. The protocol inside is the same as
// on the plain ports, byte for byte.
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <memory>
#include <sys/types.h>

struct ssl_ctx_st;
struct ssl_st;

namespace chatserver {

class TlsServerContext {
public:
    ~TlsServerContext();
    TlsServerContext(const TlsServerContext&) = delete;
    TlsServerContext& operator=(const TlsServerContext&) = delete;

    // The certificate (PEM, the chain after it) and its private key (PEM). Null and a message
    // when they cannot be read or do not belong together.
    static std::shared_ptr<TlsServerContext> fromFiles(const QString& certificateFile, const QString& keyFile,
                                                       QString* error);
    // tls-certificate.pem and tls-key.pem in `folder`, made there first (a new ECDSA P-256 key
    // and a certificate for `commonName` signed by it, readable by the server's user only) when
    // the folder has none. `created` tells whether they were made now.
    static std::shared_ptr<TlsServerContext> selfSigned(const QString& folder, const QString& commonName,
                                                        QString* error, bool* created = nullptr);

    // SHA-256 of the certificate's public key, as "AB:CD:...": what clients pin, and what stays
    // the same when a certificate is renewed with the same key.
    const QString& fingerprint() const { return m_fingerprint; }
    const QString& certificateFile() const { return m_certificateFile; }
    const QString& keyFile() const { return m_keyFile; }
    // The context the files would give now, when they changed since this one was read (a renewal
    // put new ones in place); null when they did not, or when the new ones cannot be used (the
    // message then says why).
    std::shared_ptr<TlsServerContext> reloaded(QString* error) const;

    ssl_ctx_st* context() const { return m_context; }

private:
    TlsServerContext() = default;
    ssl_ctx_st* m_context = nullptr;
    QString m_fingerprint;
    QString m_certificateFile;
    QString m_keyFile;
    QDateTime m_certificateTime;
    QDateTime m_keyTime;
};

// The TLS side of one accepted connection. read() and write() act as recv() and send() do on a
// non-blocking socket: a count of bytes, 0 once the caller has closed, or -1 with errno (EAGAIN
// when the socket has to become readable or, wantsWrite(), writable first). The handshake runs
// inside them.
class TlsChannel {
public:
    TlsChannel(const std::shared_ptr<TlsServerContext>& context, int fd);
    ~TlsChannel();
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;

    ssize_t read(char* buffer, std::size_t size);
    ssize_t write(const char* data, std::size_t size);
    // The last EAGAIN waits for the socket to take output (a handshake message that did not fit).
    bool wantsWrite() const { return m_wantsWrite; }
    bool handshakeDone() const { return m_handshakeDone; }
    // Why the last call failed, for the log.
    const QString& failure() const { return m_failure; }

private:
    ssize_t result(int ret, std::size_t done);

    std::shared_ptr<TlsServerContext> m_context; // kept for as long as the session uses it
    ssl_st* m_ssl = nullptr;
    bool m_wantsWrite = false;
    bool m_handshakeDone = false;
    QString m_failure;
};

} // namespace chatserver

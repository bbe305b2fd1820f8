#include "platform/KVOSocket.h"

#include "wire/Codepage.h"

#include <QCryptographicHash>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTimer>
#include <limits>
#include <utility>

qint32 KVOSocket::s_nextHandle = 1;

namespace {

int g_connectTimeoutMs = 20000;
// How long a server that may be served in the clear gets to set up TLS: an older server without
// TLS mostly refuses at once, but a firewall may drop the attempt without a word.
constexpr int kTlsAttemptMs = 5000;
// A dropped connection gets this long to flush what was written to it before it is cut.
constexpr int kLingerMs = 30000;
// At most this much is taken from the network per data event: a peer that sends faster than the
// handlers consume waits in the kernel's buffers instead of growing ours.
constexpr qint64 kReadChunkBytes = qint64{64} * 1024;

qint32 errorNumber(QAbstractSocket::SocketError error) {
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return KVOSocket::kErrConnectionRefused;
    case QAbstractSocket::RemoteHostClosedError:
        return KVOSocket::kErrConnectionReset;
    case QAbstractSocket::HostNotFoundError:
        return KVOSocket::kErrHostNotFound;
    case QAbstractSocket::SocketAccessError:
        return KVOSocket::kErrAccessDenied;
    case QAbstractSocket::SocketResourceError:
        return KVOSocket::kErrNoBufferSpace;
    case QAbstractSocket::SocketTimeoutError:
        return KVOSocket::kErrTimedOut;
    case QAbstractSocket::NetworkError:
        return KVOSocket::kErrNetworkUnreachable;
    case QAbstractSocket::AddressInUseError:
    case QAbstractSocket::SocketAddressNotAvailableError:
        return KVOSocket::kErrAddressNotAvailable;
    default:
        return KVOSocket::kErrConnectionAborted;
    }
}

// The TLS port took the connection, and what followed was no TLS session we could have.
bool handshakeFailed(QAbstractSocket::SocketError error) {
    return error == QAbstractSocket::SslHandshakeFailedError || error == QAbstractSocket::SslInternalError ||
           error == QAbstractSocket::SslInvalidUserDataError || error == QAbstractSocket::RemoteHostClosedError;
}

} // namespace

KVOSocket::KVOSocket(QObject* parent) : QObject(parent), m_connectTimer(new QTimer(this)) {
    m_connectTimer->setSingleShot(true);
    connect(m_connectTimer, &QTimer::timeout, this, [this] { onConnectTimeout(m_handle); });
}

KVOSocket::~KVOSocket() {
    m_connectTimer->stop();
    if (m_socket != nullptr) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
}

void KVOSocket::setConnectTimeoutForTesting(int milliseconds) {
    g_connectTimeoutMs = milliseconds;
}

qint32 KVOSocket::nextHandle() {
    const qint32 handle = s_nextHandle;
    s_nextHandle = s_nextHandle == std::numeric_limits<qint32>::max() ? 1 : s_nextHandle + 1;
    return handle;
}

void KVOSocket::Connect(const QString& host, qint32 port) {
    dropSocket();
    const qint32 handle = nextHandle();
    m_handle = handle;
    m_secure = false;
    m_host = host.trimmed();
    m_port = port;
    if (port < 1 || port > 65535 || m_host.isEmpty()) {
        postFailure(handle, kErrAddressNotAvailable, QStringLiteral("Address not available"));
        return;
    }
    openSocket(handle,
               m_trust != nullptr && port < 65535 && m_trust->approach(hostPort()) != ServerTrust::Approach::Plain);
}

QString KVOSocket::hostPort() const {
    return m_host + QLatin1Char(':') + QString::number(m_port);
}

void KVOSocket::openSocket(qint32 handle, bool secure) {
    auto* socket = new QSslSocket(this);
    socket->setReadBufferSize(kReadChunkBytes);
    m_socket = socket;
    m_tlsAttempt = secure;
    // Every socket signal is queued: Qt may emit some of them inside connectToHost or write, and
    // callers must only ever see events from the event loop. The handle tells whether a queued
    // signal still belongs to the current connection, and the socket's serial whether it still
    // comes from the current socket (a TLS attempt given up for the plain port keeps the handle).
    const quint64 serial = ++m_socketSerial;
    const auto relay = [this, socket, handle, serial](auto signal, void (KVOSocket::*handler)(qint32)) {
        connect(
            socket, signal, this,
            [this, handle, serial, handler] {
                if (serial == m_socketSerial) (this->*handler)(handle);
            },
            Qt::QueuedConnection);
    };
    relay(&QAbstractSocket::connected, &KVOSocket::onConnected);
    relay(&QIODevice::readyRead, &KVOSocket::onReadyRead);
    relay(&QAbstractSocket::disconnected, &KVOSocket::onDisconnected);
    relay(&QAbstractSocket::errorOccurred, &KVOSocket::onSocketError);
    if (!secure) {
        m_connectTimer->start(g_connectTimeoutMs);
        socket->connectToHost(m_host, static_cast<quint16>(m_port));
        return;
    }
    relay(&QSslSocket::encrypted, &KVOSocket::onEncrypted);
    // Whose key it is, the trust judges once the session is up (onEncrypted): the certificate's
    // own failings (self-signed, another name) are only one input to that. (Taken inside the
    // handshake, which goes on only if they are ignored there; nothing reaches the caller.)
    connect(socket, &QSslSocket::sslErrors, socket, [socket] { socket->ignoreSslErrors(); });
    m_connectTimer->start(m_trust->approach(hostPort()) == ServerTrust::Approach::TlsFirst
                              ? std::min(kTlsAttemptMs, g_connectTimeoutMs)
                              : g_connectTimeoutMs);
    socket->connectToHostEncrypted(m_host, m_trust->tlsPort(static_cast<quint16>(m_port)));
}

void KVOSocket::onEncrypted(qint32 handle) {
    // The window may have let go of the trust (closing) while this event was queued.
    if (handle != m_handle || m_socket == nullptr || !m_tlsAttempt || m_trust == nullptr) return;
    const QByteArray key = m_socket->peerCertificate().publicKey().toDer();
    const QString fingerprint =
        QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex(':').toUpper());
    QString why;
    if (key.isEmpty() || !m_trust->trustKey(hostPort(), fingerprint, m_socket->sslHandshakeErrors().isEmpty(), &why)) {
        failConnection(handle, kErrSecureLinkRefused, why);
        return;
    }
    m_tlsAttempt = false;
    m_secure = true;
    m_connectTimer->stop();
    emit OnConnect(handle);
}

void KVOSocket::tlsFailed(qint32 handle, bool reached) {
    if (handle != m_handle) return;
    QString why;
    if (!m_trust || !m_trust->mayGoPlain(hostPort(), &why)) {
        // Nobody answered: as with any server that cannot be reached. Someone answered and
        // could not be trusted: that is for the user to know.
        if (!reached && m_socket)
            failConnection(handle, errorNumber(m_socket->error()), m_socket->errorString());
        else
            failConnection(handle, kErrSecureLinkRefused, why);
        return;
    }
    // The same connection, handle and all, goes on in the clear.
    m_connectTimer->stop();
    QSslSocket* failed = std::exchange(m_socket, nullptr);
    failed->disconnect(this);
    failed->abort();
    failed->deleteLater();
    openSocket(handle, false);
}

void KVOSocket::SendData(const QString& data, qint32 handle) {
    const bool open = m_socket != nullptr && m_socket->state() != QAbstractSocket::UnconnectedState &&
                      m_socket->state() != QAbstractSocket::ClosingState;
    if (handle == 0 || handle != m_handle || !open) {
        // Nothing to send on; the caller hears of it the way it hears of any failed transfer.
        QMetaObject::invokeMethod(
            this, [this] { emit OnError(kErrNotConnected, QStringLiteral("Socket is not connected")); },
            Qt::QueuedConnection);
        return;
    }
    const QByteArray bytes = wire::toCp1252(data);
    if (bytes.isEmpty()) return;
    if (m_socket->write(bytes) != bytes.size())
        postFailure(handle, errorNumber(m_socket->error()), m_socket->errorString());
}

void KVOSocket::CloseSocket(qint32 handle) {
    if (handle == 0 || handle != m_handle) return;
    dropSocket();
    m_handle = 0;
}

void KVOSocket::dropSocket() {
    m_connectTimer->stop();
    QSslSocket* socket = std::exchange(m_socket, nullptr);
    ++m_socketSerial; // whatever it still has queued is not heard any more
    m_tlsAttempt = false;
    m_secure = false;
    if (socket == nullptr) return;
    socket->disconnect(this);
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    socket->disconnectFromHost();
    if (socket->state() == QAbstractSocket::UnconnectedState) {
        socket->deleteLater();
        return;
    }
    // A peer that never takes the rest of the output must not keep the socket for ever.
    QTimer::singleShot(kLingerMs, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
}

void KVOSocket::failConnection(qint32 handle, qint32 number, const QString& description) {
    if (handle != m_handle) return; // a newer connection has taken its place
    dropSocket();
    m_handle = 0;
    emit OnError(number, description);
}

void KVOSocket::postFailure(qint32 handle, qint32 number, const QString& description) {
    QMetaObject::invokeMethod(
        this, [this, handle, number, description] { failConnection(handle, number, description); },
        Qt::QueuedConnection);
}

bool KVOSocket::deliverPending(qint32 handle) {
    if (handle != m_handle || m_socket == nullptr) return false;
    const QByteArray bytes = m_socket->read(kReadChunkBytes);
    if (!bytes.isEmpty()) {
        emit OnDataArrival(static_cast<qint32>(bytes.size()), wire::fromCp1252(bytes), QString::number(handle));
    }
    // The handler may have closed this connection or started another.
    return handle == m_handle && m_socket != nullptr;
}

void KVOSocket::onConnected(qint32 handle) {
    if (handle != m_handle || m_socket == nullptr || m_tlsAttempt) return; // TLS: its session comes next
    m_connectTimer->stop();
    emit OnConnect(handle);
}

void KVOSocket::onReadyRead(qint32 handle) {
    deliverPending(handle);
}

void KVOSocket::onDisconnected(qint32 handle) {
    if (handle == m_handle && m_tlsAttempt) return tlsFailed(handle, true); // the TLS port hung up on the handshake
    // Data that arrived just before the close still goes out first.
    if (!deliverPending(handle)) return;
    dropSocket();
    m_handle = 0;
    emit OnClose();
}

void KVOSocket::onSocketError(qint32 handle) {
    if (handle != m_handle || m_socket == nullptr) return;
    if (m_tlsAttempt) return tlsFailed(handle, handshakeFailed(m_socket->error()));
    const QAbstractSocket::SocketError error = m_socket->error();
    // The peer closing is not a failure: the close event follows.
    if (error == QAbstractSocket::RemoteHostClosedError) return;
    const QString description = m_socket->errorString();
    if (!deliverPending(handle)) return;
    failConnection(handle, errorNumber(error), description);
}

void KVOSocket::onConnectTimeout(qint32 handle) {
    if (handle != m_handle || m_socket == nullptr) return;
    if (m_tlsAttempt) return tlsFailed(handle, m_socket->state() == QAbstractSocket::ConnectedState);
    if (m_socket->state() == QAbstractSocket::ConnectedState) return;
    failConnection(handle, kErrTimedOut, QStringLiteral("Connection timed out"));
}

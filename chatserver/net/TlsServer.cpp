#include "chatserver/net/TlsServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

namespace chatserver {

namespace {

// Empty records read in one go before the caller is asked to come back.
constexpr int kEmptyRecordsInARow = 8;

const QString kSelfCertificate = QStringLiteral("tls-certificate.pem");
const QString kSelfKey = QStringLiteral("tls-key.pem");
// A self-signed certificate is trusted by its pin, not by its dates: it is made to outlast the
// server. (Twenty years; a client pins the key, which a new certificate may keep.)
constexpr long kSelfValiditySeconds = 20L * 366 * 24 * 3600;

QString lastError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return QStringLiteral("unknown TLS error");
    char text[256] = {};
    ERR_error_string_n(code, text, sizeof text);
    return QString::fromLatin1(text);
}

bool fail(QString* error, const QString& message) {
    if (error) *error = message;
    return false;
}

template <typename T, void (*Free)(T*)> struct Freer {
    void operator()(T* object) const { Free(object); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using CertificatePtr = std::unique_ptr<X509, Freer<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;

// Writes `bytes` to a new file readable by the server's user only.
bool writePrivate(const QString& path, const QByteArray& bytes, QString* error) {
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return fail(error, QStringLiteral("cannot create %1: %2").arg(path, QString::fromLocal8Bit(strerror(errno))));
    const bool whole = ::write(fd, bytes.constData(), std::size_t(bytes.size())) == bytes.size();
    const bool closed = ::close(fd) == 0;
    if (whole && closed) return true;
    ::unlink(name.constData());
    return fail(error, QStringLiteral("cannot write %1").arg(path));
}

QByteArray pem(const std::function<int(BIO*)>& write) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || write(bio.get()) != 1) return {};
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, length);
}

// A new key and a certificate for `commonName` signed by it, as PEM texts.
bool makeSelfSigned(const QString& commonName, QByteArray& certificatePem, QByteArray& keyPem, QString* error) {
    KeyPtr key(EVP_EC_gen("P-256"));
    if (!key) return fail(error, lastError());
    CertificatePtr certificate(X509_new());
    if (!certificate) return fail(error, lastError());
    X509_set_version(certificate.get(), 2);
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1) return fail(error, lastError());
    serial[0] &= 0x7F; // a positive number
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate.get()));
    BN_free(number);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), kSelfValiditySeconds);
    X509_set_pubkey(certificate.get(), key.get());
    X509_NAME* name = X509_get_subject_name(certificate.get());
    const QByteArray cn = commonName.toUtf8();
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn.constData()), -1,
                               -1, 0);
    X509_set_issuer_name(certificate.get(), name);
    if (X509_sign(certificate.get(), key.get(), EVP_sha256()) <= 0) return fail(error, lastError());
    certificatePem = pem([&](BIO* bio) { return PEM_write_bio_X509(bio, certificate.get()); });
    keyPem =
        pem([&](BIO* bio) { return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr); });
    if (certificatePem.isEmpty() || keyPem.isEmpty()) return fail(error, lastError());
    return true;
}

QString fingerprintOf(X509* certificate) {
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(X509_get0_pubkey(certificate), &der);
    if (length <= 0) return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    EVP_Digest(der, std::size_t(length), digest, &digestLength, EVP_sha256(), nullptr);
    OPENSSL_free(der);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), digestLength).toHex(':').toUpper());
}

} // namespace

TlsServerContext::~TlsServerContext() {
    SSL_CTX_free(m_context);
}

std::shared_ptr<TlsServerContext> TlsServerContext::fromFiles(const QString& certificateFile, const QString& keyFile,
                                                              QString* error) {
    std::shared_ptr<TlsServerContext> tls(new TlsServerContext);
    tls->m_certificateFile = certificateFile;
    tls->m_keyFile = keyFile;
    tls->m_certificateTime = QFileInfo(certificateFile).lastModified();
    tls->m_keyTime = QFileInfo(keyFile).lastModified();
    tls->m_context = SSL_CTX_new(TLS_server_method());
    SSL_CTX* context = tls->m_context;
    if (!context) return fail(error, lastError()), nullptr;
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // A caller that hangs up without a goodbye has still had its whole answer.
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    // The answer's buffer moves on as parts of it are sent.
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    const QByteArray certificateName = QFile::encodeName(certificateFile);
    const QByteArray keyName = QFile::encodeName(keyFile);
    if (SSL_CTX_use_certificate_chain_file(context, certificateName.constData()) != 1)
        return fail(error, QStringLiteral("TLS certificate %1: %2").arg(certificateFile, lastError())), nullptr;
    if (SSL_CTX_use_PrivateKey_file(context, keyName.constData(), SSL_FILETYPE_PEM) != 1)
        return fail(error, QStringLiteral("the TLS key %1 cannot be used with the certificate %2: %3")
                               .arg(keyFile, certificateFile, lastError())),
               nullptr;
    if (SSL_CTX_check_private_key(context) != 1)
        return fail(error, QStringLiteral("the TLS key %1 cannot be used with the certificate %2: they do not "
                                          "belong together")
                               .arg(keyFile, certificateFile)),
               nullptr;
    tls->m_fingerprint = fingerprintOf(SSL_CTX_get0_certificate(context));
    return tls;
}

std::shared_ptr<TlsServerContext> TlsServerContext::selfSigned(const QString& folder, const QString& commonName,
                                                               QString* error, bool* created) {
    const QString certificateFile = QDir(folder).filePath(kSelfCertificate);
    const QString keyFile = QDir(folder).filePath(kSelfKey);
    if (created) *created = false;
    if (!QFileInfo::exists(certificateFile) && !QFileInfo::exists(keyFile)) {
        if (!QDir().mkpath(folder))
            return fail(error, QStringLiteral("cannot create the folder %1").arg(folder)), nullptr;
        QByteArray certificatePem;
        QByteArray keyPem;
        if (!makeSelfSigned(commonName, certificatePem, keyPem, error)) return nullptr;
        // The key first: a certificate without its key would be left for the next start to trip on.
        if (!writePrivate(keyFile, keyPem, error)) return nullptr;
        if (!writePrivate(certificateFile, certificatePem, error)) {
            QFile::remove(keyFile);
            return nullptr;
        }
        if (created) *created = true;
    }
    return fromFiles(certificateFile, keyFile, error);
}

std::shared_ptr<TlsServerContext> TlsServerContext::reloaded(QString* error) const {
    if (QFileInfo(m_certificateFile).lastModified() == m_certificateTime &&
        QFileInfo(m_keyFile).lastModified() == m_keyTime)
        return nullptr;
    return fromFiles(m_certificateFile, m_keyFile, error);
}

TlsChannel::TlsChannel(const std::shared_ptr<TlsServerContext>& context, int fd) : m_context(context) {
    m_ssl = SSL_new(context->context());
    if (m_ssl) {
        SSL_set_fd(m_ssl, fd);
        SSL_set_accept_state(m_ssl);
    }
}

TlsChannel::~TlsChannel() {
    SSL_free(m_ssl);
}

ssize_t TlsChannel::result(int ret, std::size_t done) {
    if (ret == 1) {
        m_wantsWrite = false;
        return ssize_t(done);
    }
    const int reason = SSL_get_error(m_ssl, ret);
    switch (reason) {
    case SSL_ERROR_WANT_READ:
        m_wantsWrite = false;
        errno = EAGAIN;
        return -1;
    case SSL_ERROR_WANT_WRITE:
        m_wantsWrite = true;
        errno = EAGAIN;
        return -1;
    case SSL_ERROR_ZERO_RETURN:
        return 0;
    case SSL_ERROR_SYSCALL:
        if (errno == EAGAIN || errno == EWOULDBLOCK) return -1;
        if (errno == 0) return 0; // the caller went without a word
        m_failure = QString::fromLocal8Bit(strerror(errno));
        ERR_clear_error();
        return -1;
    default:
        m_failure = lastError();
        errno = ECONNRESET;
        return -1;
    }
}

ssize_t TlsChannel::read(char* buffer, std::size_t size) {
    if (!m_ssl) {
        m_failure = QStringLiteral("no TLS session");
        errno = ENOMEM;
        return -1;
    }
    errno = 0;
    if (!m_handshakeDone) {
        const int ret = SSL_do_handshake(m_ssl);
        if (ret != 1) return result(ret, 0);
        m_handshakeDone = true;
    }
    // A record may hold no data (the end of the handshake was all there was); what follows it may
    // already be in the session's buffer, where the socket's readiness would never tell of it.
    for (int record = 0; record < kEmptyRecordsInARow; ++record) {
        std::size_t got = 0;
        const int ret = SSL_read_ex(m_ssl, buffer, size, &got);
        if (ret != 1 || got > 0) return result(ret, got);
    }
    errno = EAGAIN;
    return -1;
}

ssize_t TlsChannel::write(const char* data, std::size_t size) {
    if (!m_ssl || !m_handshakeDone) {
        errno = EAGAIN;
        return -1;
    }
    errno = 0;
    std::size_t sent = 0;
    const int ret = SSL_write_ex(m_ssl, data, size, &sent); // before `sent` is read
    return result(ret, sent);
}

} // namespace chatserver

#include "core/basMD5.h"

#include "platform/crypto.h"
#include "platform/vb.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <new>
#include <unistd.h>

namespace basMD5 {

namespace {

using crypto::HCRYPTHASH;
using crypto::HCRYPTPROV;

// Read block size of HashFile, set by GetFileMD5HashCode before each call.
qint32 g_lngMD5BlockSize = 1024;
// The digest fnArrayMD5 is building; it stays open between calls so that it can be fed in pieces.
HCRYPTPROV g_lngCryptProv = 0;
HCRYPTHASH g_lngCryptHash = 0;

const QString kSourceHashFile = QStringLiteral("basMD5 - HashFile");
const QString kSourceGetFile = QStringLiteral("basMD5 - GetFileMD5HashCode");
const QString kSourceArray = QStringLiteral("basMD5 - fnArrayMD5");

enum DigestError : int {
    kErrAcquireContext = 1,
    kErrAddFirstPiece = 2,
    kErrCreateHash = 3,
    kErrAddLaterPiece = 4,
    kErrZeroLength = 5,
    kErrHashLength = 6,
};
constexpr int kErrInputPastEnd = 62;

[[noreturn]] void fail(int number) {
    switch (number) {
    case kErrAcquireContext:
        vb::raise(number, QStringLiteral("Failed to acquire cryptographic context"));
    case kErrAddFirstPiece:
    case kErrAddLaterPiece:
        vb::raise(number, QStringLiteral("Can NOT Add this data to the hash"));
    case kErrCreateHash:
        vb::raise(number, QStringLiteral("Can NOT Create new MD5 hash"));
    case kErrZeroLength:
        vb::raise(number, QStringLiteral("Zero length for return buffer"));
    case kErrHashLength:
        vb::raise(number, QStringLiteral("Can NOT Get buffer length for hash"));
    case kErrInputPastEnd:
        vb::raise(number, QStringLiteral("Input past end of file"));
    default:
        vb::raise(number);
    }
}

// Runs a procedure body and passes any failure on with the procedure's own source, keeping
// number and description.
template <typename Body> auto withSource(const QString& source, Body&& body) {
    try {
        return body();
    } catch (const vb::VbError& e) {
        throw vb::VbError(e.number(), e.description(), source);
    } catch (const std::bad_alloc&) {
        throw vb::VbError(vb::kErrOutOfMemory, {}, source);
    }
}

// A provider context and a hash object, given back when they go out of scope.
struct DigestHandles {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    DigestHandles() = default;
    DigestHandles(const DigestHandles&) = delete;
    DigestHandles& operator=(const DigestHandles&) = delete;
    ~DigestHandles() { release(provider, hash); }

    static void release(HCRYPTPROV& prov, HCRYPTHASH& hsh) {
        if (hsh != 0) crypto::CryptDestroyHash(hsh);
        if (prov != 0) crypto::CryptReleaseContext(prov);
        hsh = 0;
        prov = 0;
    }
};

// Drops the digest fnArrayMD5 has open, if any.
void dropOpenDigest() {
    DigestHandles::release(g_lngCryptProv, g_lngCryptHash);
}

// The default container may not exist yet; the second attempt creates it.
void acquireContext(HCRYPTPROV& provider) {
    if (crypto::CryptAcquireContext(&provider, 0)) return;
    if (crypto::CryptAcquireContext(&provider, crypto::kCryptNewKeyset)) return;
    fail(kErrAcquireContext);
}

bool hashData(HCRYPTHASH hash, const char* data, qint64 length) {
    // The provider takes 32-bit lengths; larger data goes in slices.
    constexpr qint64 kSlice = qint64{1} << 30;
    do {
        const qint64 part = std::min(length, kSlice);
        if (!crypto::CryptHashData(hash, reinterpret_cast<const unsigned char*>(data), static_cast<quint32>(part)))
            return false;
        data += part;
        length -= part;
    } while (length > 0);
    return true;
}

// Two upper-case hex digits per byte, zero-padded, in byte order.
QString hexText(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toHex().toUpper());
}

// Qt reports every failed open as an open error; the system's reason tells a file this user may
// not read from one that cannot be reached at all.
int openErrorNumber(const QFile& file) {
    if (file.error() == QFileDevice::ReadError) return vb::kErrDeviceIO;
    const int fd = ::open(QFile::encodeName(file.fileName()).constData(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return vb::kErrPathFileAccess;
    }
    return errno == EACCES || errno == EPERM ? vb::kErrPermissionDenied : vb::kErrPathFileAccess;
}

} // namespace

qint32 HashFile(const QString& strFile, QByteArray& abHash) {
    return withSource(kSourceHashFile, [&]() -> qint32 {
        const QFileInfo info(strFile);
        if (strFile.isEmpty() || !info.isFile() || info.size() < 1) return 0;
        // A block of nothing would never get through the file.
        if (g_lngMD5BlockSize < 1) vb::raise(vb::kErrInvalidCall);

        QFile file(strFile);
        if (!file.open(QIODevice::ReadOnly)) vb::raise(openErrorNumber(file));
        qint64 remaining = file.size();
        QByteArray buffer(static_cast<qsizetype>(std::min<qint64>(g_lngMD5BlockSize, remaining)), '\0');

        DigestHandles handles;
        acquireContext(handles.provider);
        if (!crypto::CryptCreateHash(handles.provider, &handles.hash)) fail(kErrCreateHash);

        qint32 result = 0;
        while (remaining > 0) {
            const qint64 chunk = std::min<qint64>(g_lngMD5BlockSize, remaining);
            const qint64 got = file.read(buffer.data(), chunk);
            if (got < 0) vb::raise(vb::kErrDeviceIO);
            // The file shrank while it was read: its digest would describe bytes that are not there.
            if (got < chunk) fail(kErrInputPastEnd);
            if (!hashData(handles.hash, buffer.constData(), chunk)) fail(kErrAddFirstPiece);
            remaining -= chunk;
            if (remaining < 1) {
                quint32 length = 0;
                if (!crypto::CryptGetHashParam(handles.hash, nullptr, &length)) break;
                QByteArray value(static_cast<qsizetype>(length), '\0');
                if (!crypto::CryptGetHashParam(handles.hash, reinterpret_cast<unsigned char*>(value.data()), &length))
                    break;
                abHash = value.left(static_cast<qsizetype>(length));
                result = static_cast<qint32>(abHash.size());
            }
        }
        return result;
    });
}

QString GetFileMD5HashCode(const QString& strFile, qint32 lngBlockSize) {
    return withSource(kSourceGetFile, [&]() -> QString {
        g_lngMD5BlockSize = lngBlockSize;
        QByteArray hash;
        const qint32 n = HashFile(strFile, hash);
        if (n < 1) return {};
        return hexText(hash.left(n));
    });
}

QString fnArrayMD5(const QByteArray& abData, bool blnStart, bool blnFinish) {
    return withSource(kSourceArray, [&]() -> QString {
        // An empty array has no first element to start from; nothing changes.
        if (abData.isEmpty()) vb::raise(vb::kErrSubscript);

        // From here on a failure leaves no digest open: its handles are given back.
        try {
            if (blnStart) {
                dropOpenDigest();
                acquireContext(g_lngCryptProv);
                if (!crypto::CryptCreateHash(g_lngCryptProv, &g_lngCryptHash)) fail(kErrCreateHash);
                if (!hashData(g_lngCryptHash, abData.constData(), abData.size())) fail(kErrAddFirstPiece);
            } else if (!hashData(g_lngCryptHash, abData.constData(), abData.size())) {
                fail(kErrAddLaterPiece);
            }
            if (!blnFinish) return {};

            quint32 length = 0;
            if (!crypto::CryptGetHashParam(g_lngCryptHash, nullptr, &length)) fail(kErrHashLength);
            if (length == 0) fail(kErrZeroLength);
            QByteArray value(static_cast<qsizetype>(length), '\0');
            const bool read =
                crypto::CryptGetHashParam(g_lngCryptHash, reinterpret_cast<unsigned char*>(value.data()), &length);
            dropOpenDigest();
            if (!read) return {};
            return hexText(value.left(static_cast<qsizetype>(length)));
        } catch (...) {
            dropOpenDigest();
            throw;
        }
    });
}

} // namespace basMD5

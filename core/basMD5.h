#pragma once
// MD5 digests of files and byte arrays, rendered as 32 upper-case hex digits. Failures raise
// vb::VbError with the numbers 1-6 and sources "basMD5 - ..." that callers expect.
#include <QByteArray>
#include <QString>

namespace basMD5 {

// Digest of a file read in blocks of the current block size into abHash; returns the number of
// digest bytes (16) or 0 for a missing or empty file or a failed read of the digest value.
qint32 HashFile(const QString& strFile, QByteArray& abHash);
QString GetFileMD5HashCode(const QString& strFile, qint32 lngBlockSize);
// Feeds one piece of data; with blnFinish returns the digest text, otherwise empty text.
QString fnArrayMD5(const QByteArray& abData, bool blnStart, bool blnFinish);

} // namespace basMD5

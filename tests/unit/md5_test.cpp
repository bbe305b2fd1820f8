// basMD5: file and array digests agree with each other and with an independent MD5, whatever the
// block size or the pieces; failures carry their numbers and sources; no handle is left open.
#include "app/basMD5.h"
#include "platform/crypto.h"
#include "platform/vb.h"
#include "support/Unprivileged.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <optional>

namespace {

using crypto::Call;

QString referenceDigest(const QByteArray& data) {
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex().toUpper());
}

// Bytes 0..255 repeated, so every byte value and every offset within a block is exercised.
QByteArray patternBytes(int size) {
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    return data;
}

class Md5Test : public ::testing::Test {
protected:
    void SetUp() override { baseline = crypto::openHandleCount(); }
    void TearDown() override {
        crypto::setFailureForTesting({});
        crypto::setReportedHashLengthForTesting(-1);
        EXPECT_EQ(crypto::openHandleCount(), baseline) << "handles left open";
    }

    QString writeFile(const QString& name, const QByteArray& data) {
        const QString path = dir.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(data);
        return path;
    }

    void failOn(Call failing) {
        crypto::setFailureForTesting([failing](Call call) {
            // A failed acquisition is retried with the new-keyset flag: make both attempts fail.
            if (failing == Call::AcquireContext)
                return call == Call::AcquireContext || call == Call::AcquireContextNewKeyset;
            return call == failing;
        });
    }

    QTemporaryDir dir;
    int baseline = 0;
};

// Runs `body` and returns the error it raised, if any.
template <typename Body> std::optional<vb::VbError> errorOf(Body&& body) {
    try {
        body();
    } catch (const vb::VbError& e) {
        return e;
    }
    return std::nullopt;
}

TEST_F(Md5Test, FileAndArrayAgreeForEveryLengthAroundTheBlockSize) {
    const struct {
        int size;
        int blockSize;
    } cases[] = {
        {1, 16}, {15, 16}, {16, 16}, {17, 16}, {3000, 1024}, {1000, 1},
    };
    for (const auto& c : cases) {
        const QByteArray data = patternBytes(c.size);
        const QString path = writeFile(QStringLiteral("data.bin"), data);
        const QString expected = referenceDigest(data);
        EXPECT_EQ(basMD5::GetFileMD5HashCode(path, c.blockSize), expected) << c.size << "/" << c.blockSize;
        EXPECT_EQ(basMD5::fnArrayMD5(data, true, true), expected) << c.size;
    }
}

// The digest's second byte is 0x01: a byte below 16 keeps its leading zero. A first acquisition
// that fails is retried with the new-keyset flag.
TEST_F(Md5Test, KnownDigestInUpperCaseHexAlsoWhenOnlyTheSecondAcquisitionWorks) {
    const QString path = writeFile(QStringLiteral("abc.txt"), "abc");
    QByteArray bytes;
    EXPECT_EQ(basMD5::HashFile(path, bytes), 16);
    EXPECT_EQ(bytes.toHex(), "900150983cd24fb0d6963f7d28e17f72");
    crypto::setFailureForTesting([](Call call) { return call == Call::AcquireContext; });
    EXPECT_EQ(basMD5::GetFileMD5HashCode(path, 1024), QStringLiteral("900150983CD24FB0D6963F7D28E17F72"));
    EXPECT_EQ(basMD5::fnArrayMD5("abc", true, true), QStringLiteral("900150983CD24FB0D6963F7D28E17F72"));
}

TEST_F(Md5Test, MissingAndEmptyFilesGiveEmptyText) {
    const QString missing = dir.filePath(QStringLiteral("missing.kvo"));
    EXPECT_EQ(basMD5::GetFileMD5HashCode(missing, 1024), QString());
    EXPECT_FALSE(QFile::exists(missing)) << "looking at a file must not create it";
    QByteArray bytes;
    EXPECT_EQ(basMD5::HashFile(missing, bytes), 0);

    const QString empty = writeFile(QStringLiteral("empty.kvo"), {});
    EXPECT_EQ(basMD5::GetFileMD5HashCode(empty, 1024), QString());
    EXPECT_EQ(basMD5::GetFileMD5HashCode(QString(), 1024), QString());
    EXPECT_EQ(basMD5::GetFileMD5HashCode(dir.path(), 1024), QString()) << "a folder is not a file";
}

TEST_F(Md5Test, PiecesGiveTheSameDigestAsTheWhole) {
    const QByteArray first = patternBytes(70);
    const QByteArray second("second piece \xD4 with a separator");
    const QByteArray third(1, 'z');
    const QString whole = basMD5::fnArrayMD5(first + second + third, true, true);
    EXPECT_EQ(whole, referenceDigest(first + second + third));

    EXPECT_EQ(basMD5::fnArrayMD5(first, true, false), QString());
    EXPECT_EQ(basMD5::fnArrayMD5(second, false, false), QString());
    EXPECT_EQ(basMD5::fnArrayMD5(third, false, true), whole);

    EXPECT_EQ(basMD5::fnArrayMD5(first, true, false), QString());
    EXPECT_EQ(basMD5::fnArrayMD5(second + third, false, true), whole);
}

TEST_F(Md5Test, NewStartDropsTheOpenDigest) {
    EXPECT_EQ(basMD5::fnArrayMD5("dropped", true, false), QString());
    EXPECT_GT(crypto::openHandleCount(), baseline);
    EXPECT_EQ(basMD5::fnArrayMD5("kept", true, true), referenceDigest("kept"));
    // TearDown checks that the dropped digest gave its handles back.
}

TEST_F(Md5Test, NumberedFailuresCarryTheirSource) {
    const QString path = writeFile(QStringLiteral("data.bin"), patternBytes(100));
    const QString hashFile = QStringLiteral("basMD5 - HashFile");
    const QString getFile = QStringLiteral("basMD5 - GetFileMD5HashCode");
    const QString array = QStringLiteral("basMD5 - fnArrayMD5");
    const QString addData = QStringLiteral("Can NOT Add this data to the hash");

    enum class Run { HashFile, GetFile, ArrayWhole, ArrayLaterPiece };
    const struct {
        Call failing;
        Run run;
        int number; // 0: no error, the result is empty text or 0
        QString description;
        QString source;
    } cases[] = {
        // Each failing call once, and each procedure's source at least once.
        {Call::AcquireContext, Run::HashFile, 1, QStringLiteral("Failed to acquire cryptographic context"), hashFile},
        {Call::CreateHash, Run::GetFile, 3, QStringLiteral("Can NOT Create new MD5 hash"), getFile},
        {Call::HashData, Run::ArrayWhole, 2, addData, array},
        {Call::HashData, Run::ArrayLaterPiece, 4, addData, array},
        {Call::GetHashLength, Run::ArrayWhole, 6, QStringLiteral("Can NOT Get buffer length for hash"), array},
        {Call::GetHashLength, Run::GetFile, 0, {}, {}},
        {Call::GetHashValue, Run::ArrayWhole, 0, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.failing) * 10 + static_cast<int>(c.run));
        QString text = QStringLiteral("untouched");
        qint32 count = -1;
        std::optional<vb::VbError> error;
        switch (c.run) {
        case Run::HashFile:
            error = errorOf([&] {
                basMD5::GetFileMD5HashCode(dir.filePath(QStringLiteral("none")), 16); // sets the block size
                failOn(c.failing);
                QByteArray bytes;
                count = basMD5::HashFile(path, bytes);
            });
            break;
        case Run::GetFile:
            failOn(c.failing);
            error = errorOf([&] { text = basMD5::GetFileMD5HashCode(path, 16); });
            break;
        case Run::ArrayWhole:
            failOn(c.failing);
            error = errorOf([&] { text = basMD5::fnArrayMD5("data", true, true); });
            break;
        case Run::ArrayLaterPiece:
            basMD5::fnArrayMD5("first", true, false);
            failOn(c.failing);
            error = errorOf([&] { text = basMD5::fnArrayMD5("second", false, true); });
            break;
        }
        crypto::setFailureForTesting({});
        if (c.number == 0) {
            EXPECT_FALSE(error.has_value());
            EXPECT_EQ(text, QString());
        } else {
            ASSERT_TRUE(error.has_value());
            EXPECT_EQ(error->number(), c.number);
            EXPECT_EQ(error->description(), c.description);
            EXPECT_EQ(error->source(), c.source);
        }
        EXPECT_EQ(crypto::openHandleCount(), baseline) << "handles left open";
    }
}

TEST_F(Md5Test, ZeroLengthDigestIsNumberFive) {
    crypto::setReportedHashLengthForTesting(0);
    const auto error = errorOf([] { basMD5::fnArrayMD5("abc", true, true); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->number(), 5);
    EXPECT_EQ(error->description(), QStringLiteral("Zero length for return buffer"));
    EXPECT_EQ(error->source(), QStringLiteral("basMD5 - fnArrayMD5"));
}

TEST_F(Md5Test, OtherFailuresArePassedOnWithTheProcedureSource) {
    // An empty array has no first element.
    auto error = errorOf([] { basMD5::fnArrayMD5({}, true, true); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->number(), vb::kErrSubscript);
    EXPECT_EQ(error->source(), QStringLiteral("basMD5 - fnArrayMD5"));

    // A later piece with no digest begun.
    error = errorOf([] { basMD5::fnArrayMD5("orphan", false, true); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->number(), 4);

    // A block size of nothing is refused instead of looping for ever.
    const QString path = writeFile(QStringLiteral("data.bin"), "some bytes");
    for (const qint32 blockSize : {0, -1}) {
        error = errorOf([&] { basMD5::GetFileMD5HashCode(path, blockSize); });
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->number(), vb::kErrInvalidCall);
        EXPECT_EQ(error->source(), QStringLiteral("basMD5 - GetFileMD5HashCode"));
    }
}

TEST_F(Md5Test, UnreadableFileIsAFailureNotAnEmptyDigest) {
    const QString path = writeFile(QStringLiteral("locked.kvo"), "secret");
    QFile::setPermissions(path, QFileDevice::Permissions{});
    const testenv::Unprivileged asUser({dir.path(), path});
    QFile probe(path);
    ASSERT_FALSE(probe.open(QIODevice::ReadOnly)) << "permissions do not stop this user from reading";
    const auto error = errorOf([&] { basMD5::GetFileMD5HashCode(path, 1024); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->number(), vb::kErrPermissionDenied);
    EXPECT_EQ(error->source(), QStringLiteral("basMD5 - GetFileMD5HashCode"));
}

} // namespace

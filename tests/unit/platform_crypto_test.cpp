// The MD5 provider: RFC 1321 answers, handle checks, injected failures and leaks. The retry with
// the new-keyset flag and the reported-length seam are exercised through basMD5 in md5_test.
#include "platform/crypto.h"

#include <QByteArray>
#include <gtest/gtest.h>
#include <vector>

namespace {

using crypto::Call;

class CryptoTest : public ::testing::Test {
protected:
    void SetUp() override { baseline = crypto::openHandleCount(); }
    void TearDown() override {
        crypto::setFailureForTesting({});
        crypto::setReportedHashLengthForTesting(-1);
        EXPECT_EQ(crypto::openHandleCount(), baseline) << "handles left open";
    }
    int baseline = 0;
};

// Digest of `pieces` fed one after another; empty text when any call fails. Always cleans up.
QByteArray digestOf(const std::vector<QByteArray>& pieces) {
    crypto::HCRYPTPROV prov = 0;
    crypto::HCRYPTHASH hash = 0;
    QByteArray result;
    if (crypto::CryptAcquireContext(&prov, 0) && crypto::CryptCreateHash(prov, &hash)) {
        bool ok = true;
        for (const QByteArray& piece : pieces) {
            ok = ok && crypto::CryptHashData(hash, reinterpret_cast<const unsigned char*>(piece.constData()),
                                             static_cast<quint32>(piece.size()));
        }
        quint32 length = 0;
        if (ok && crypto::CryptGetHashParam(hash, nullptr, &length)) {
            QByteArray value(static_cast<qsizetype>(length), '\0');
            if (crypto::CryptGetHashParam(hash, reinterpret_cast<unsigned char*>(value.data()), &length))
                result = value.left(static_cast<qsizetype>(length)).toHex();
        }
    }
    if (hash != 0) crypto::CryptDestroyHash(hash);
    if (prov != 0) crypto::CryptReleaseContext(prov);
    return result;
}

TEST_F(CryptoTest, Rfc1321TestSuite) {
    const struct {
        QByteArray input;
        QByteArray digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {QByteArray("1234567890").repeated(8), "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(digestOf({c.input}), c.digest) << c.input.constData();
        // The same bytes fed one at a time give the same digest.
        std::vector<QByteArray> bytes;
        for (const char b : c.input)
            bytes.emplace_back(1, b);
        EXPECT_EQ(digestOf(bytes), c.digest) << c.input.constData();
    }
}

TEST_F(CryptoTest, EachCallFailsWhenToldAndNothingLeaks) {
    const struct {
        Call call;
        bool digestExpected;
    } cases[] = {
        // The first acquisition failing alone is not fatal for callers that retry; digestOf does not.
        {Call::AcquireContext, false}, {Call::AcquireContextNewKeyset, true}, // never asked for without the flag
        {Call::CreateHash, false},     {Call::HashData, false},
        {Call::GetHashLength, false},  {Call::GetHashValue, false},
    };
    for (const auto& c : cases) {
        std::vector<Call> asked;
        crypto::setFailureForTesting([&](Call call) {
            asked.push_back(call);
            return call == c.call;
        });
        EXPECT_EQ(digestOf({"abc"}).isEmpty(), !c.digestExpected) << static_cast<int>(c.call);
        EXPECT_EQ(crypto::openHandleCount(), baseline) << static_cast<int>(c.call);
        crypto::setFailureForTesting({});
        if (c.call != Call::AcquireContextNewKeyset) {
            ASSERT_FALSE(asked.empty());
            EXPECT_EQ(asked.back(), c.call) << "the failed call is the last one made";
        }
    }
    // After the injection is lifted everything works again.
    EXPECT_EQ(digestOf({"abc"}), "900150983cd24fb0d6963f7d28e17f72");
}

TEST_F(CryptoTest, HandlesAreCountedAndCheckedAfterRelease) {
    crypto::HCRYPTPROV prov = 0;
    crypto::HCRYPTHASH hash = 0;
    ASSERT_TRUE(crypto::CryptAcquireContext(&prov, 0));
    ASSERT_TRUE(crypto::CryptCreateHash(prov, &hash));
    EXPECT_NE(prov, hash);
    EXPECT_EQ(crypto::openHandleCount(), baseline + 2);

    ASSERT_TRUE(crypto::CryptDestroyHash(hash));
    const unsigned char byte = 'x';
    quint32 length = 0;
    EXPECT_FALSE(crypto::CryptHashData(hash, &byte, 1));
    EXPECT_FALSE(crypto::CryptGetHashParam(hash, nullptr, &length));
    EXPECT_FALSE(crypto::CryptDestroyHash(hash));

    ASSERT_TRUE(crypto::CryptReleaseContext(prov));
    crypto::HCRYPTHASH another = 0;
    EXPECT_FALSE(crypto::CryptCreateHash(prov, &another));
    EXPECT_EQ(another, 0u);
    EXPECT_FALSE(crypto::CryptReleaseContext(prov));
    EXPECT_FALSE(crypto::CryptCreateHash(0, &another));
    EXPECT_EQ(crypto::openHandleCount(), baseline);
}

TEST_F(CryptoTest, ReadingTheValueClosesTheDigestButRereadsTheSameBytes) {
    crypto::HCRYPTPROV prov = 0;
    crypto::HCRYPTHASH hash = 0;
    ASSERT_TRUE(crypto::CryptAcquireContext(&prov, 0));
    ASSERT_TRUE(crypto::CryptCreateHash(prov, &hash));
    const QByteArray abc("abc");
    ASSERT_TRUE(crypto::CryptHashData(hash, reinterpret_cast<const unsigned char*>(abc.constData()), 3));

    // Too small a buffer: refused, with the size needed.
    unsigned char small[4] = {};
    quint32 length = sizeof small;
    EXPECT_FALSE(crypto::CryptGetHashParam(hash, small, &length));
    EXPECT_EQ(length, 16u);

    QByteArray first(16, '\0');
    QByteArray second(16, '\0');
    length = 16;
    ASSERT_TRUE(crypto::CryptGetHashParam(hash, reinterpret_cast<unsigned char*>(first.data()), &length));
    EXPECT_FALSE(crypto::CryptHashData(hash, reinterpret_cast<const unsigned char*>(abc.constData()), 3));
    ASSERT_TRUE(crypto::CryptGetHashParam(hash, reinterpret_cast<unsigned char*>(second.data()), &length));
    EXPECT_EQ(first.toHex(), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(second, first);

    crypto::CryptDestroyHash(hash);
    crypto::CryptReleaseContext(prov);
}

} // namespace

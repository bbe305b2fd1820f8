// The MD5 provider's handle rules: stale handles refused, a value read closes the digest. Its
// digests, each injected failure, the retry with the new-keyset flag and the handles left open
// after a failure are tested through basMD5 in md5_test.
#include "platform/crypto.h"

#include <QByteArray>
#include <gtest/gtest.h>

namespace {

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

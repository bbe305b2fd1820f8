// Scrambling in place: round trips of every kind of text, lengths beyond 16-bit counters, the
// same result as the wire's arithmetic (tested itself in wire_test), events running between
// characters, and handlers that never see a half-scrambled shared text.
#include "app/basEncrypt_Decrypt.h"
#include "app/basMain.h"
#include "wire/Codepage.h"
#include "wire/Scramble.h"

#include "support/TestEnv.h"

#include <QElapsedTimer>
#include <QTimer>
#include <gtest/gtest.h>

#include <ostream>

[[maybe_unused]] static void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

using basEncrypt_Decrypt::DecryptText;
using basEncrypt_Decrypt::EncryptText;

class ScrambleTest : public ::testing::Test {
protected:
    void SetUp() override { env.makeLogsFolder(); }
    void TearDown() override {
        EXPECT_TRUE(env.logLines().isEmpty()) << env.logLines().join(QLatin1Char('\n')).toStdString();
    }
    testenv::TestEnv env;
};

QString everyCode(int repeat) {
    QString text;
    for (int r = 0; r < repeat; ++r)
        for (int code = 0; code < 256; ++code)
            text += wire::cp1252Char(static_cast<unsigned char>(code));
    return text;
}

TEST_F(ScrambleTest, RoundTripsAndAgreementWithTheWireArithmetic) {
    QString patterned;
    for (int i = 0; i < 32767; ++i)
        patterned += QChar(u'a' + i % 26);
    const QString texts[] = {
        QStringLiteral("127.0.0.1\u00D4"
                       "19991\u00D4"
                       "12\u00D4me@x.org\r\n"),
        QStringLiteral("\u00D4\u00D4\r\n\r\n\u20AC\u00FF\u00E9"),
        everyCode(3),
        patterned,                          // as long as a 16-bit counter reaches
        patterned + QStringLiteral("tail"), // and beyond
    };
    for (const QString& plain : texts) {
        QString text = plain;
        EncryptText(text);
        EXPECT_EQ(text.size(), plain.size());
        EXPECT_EQ(text, wire::scrambled(plain)) << "length " << plain.size();
        DecryptText(text);
        EXPECT_EQ(text, plain) << "length " << plain.size();
    }

    QString empty;
    EncryptText(empty);
    DecryptText(empty);
    EXPECT_TRUE(empty.isEmpty());
}

TEST_F(ScrambleTest, HandlersRunDuringThePassButNeverSeeAHalfScrambledText) {
    const QString plain = QStringLiteral("1\u00D4"
                                         "77\u00D4user@example.org\u00D4"
                                         "192.168.1.20:5060")
                              .repeated(20);
    basMain::g_strMsgToSend = plain;
    int ticks = 0;
    QStringList seen;
    QTimer timer;
    timer.setInterval(0);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        ++ticks;
        if (!seen.contains(basMain::g_strMsgToSend)) seen.append(basMain::g_strMsgToSend);
    });
    timer.start();
    EncryptText(basMain::g_strMsgToSend);
    timer.stop();

    EXPECT_GT(ticks, 0) << "events run between characters";
    EXPECT_EQ(seen, QStringList{plain});
    EXPECT_EQ(basMain::g_strMsgToSend, wire::scrambled(plain));
}

TEST_F(ScrambleTest, ThePauseAppliesPerCharacter) {
    basEncrypt_Decrypt::setCharacterPauseForTesting(2);
    QString text = QStringLiteral("0123456789");
    QElapsedTimer clock;
    clock.start();
    EncryptText(text);
    EXPECT_GE(clock.elapsed(), 19); // at least 10 characters x 2 ms
}

} // namespace

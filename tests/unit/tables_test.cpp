// The client's rules that fit a table: digests, scrambling, the validators of what a user types or
// a settings file holds, the comparison of the sites' date stamps, and the message codes.
#include "core/Validators.h"
#include "core/basEncrypt_Decrypt.h"
#include "core/basMD5.h"
#include "platform/crypto.h"
#include "support/TestEnv.h"
#include "web/WebLookup.h"
#include "wire/CallPaths.h"
#include "wire/Codepage.h"
#include "wire/MessageCodes.h"
#include "wire/Scramble.h"

#include <QFile>
#include <gtest/gtest.h>

namespace {

// The settings files are rewritten only when the digest of the new text differs from the file's:
// a file read in blocks and the same bytes in memory give one digest.
TEST(Md5, AFileReadInBlocksAndItsBytesInMemoryHaveOneDigest) {
    testenv::TestEnv env;
    const int handles = crypto::openHandleCount();
    const QByteArray data = QByteArray("1234567890").repeated(8); // more than one 64-byte block
    const QString path = env.path(QStringLiteral("data.bin"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(data) == data.size());
    file.close();
    EXPECT_EQ(basMD5::fnArrayMD5(data, true, true), "57EDF4A22BE3C955AC49DA2E2107B67A");
    EXPECT_EQ(basMD5::GetFileMD5HashCode(path, 16), basMD5::fnArrayMD5(data, true, true)); // in pieces
    // No file: empty text, and looking creates nothing.
    EXPECT_EQ(basMD5::GetFileMD5HashCode(env.path(QStringLiteral("missing.kvo")), 1024), QString());
    EXPECT_FALSE(QFile::exists(env.path(QStringLiteral("missing.kvo"))));
    EXPECT_EQ(crypto::openHandleCount(), handles) << "handles left open";
}

TEST(Scrambling, AKnownVectorAndRoundTripsOfEveryCodeAndOfLongTexts) {
    testenv::TestEnv env;
    // What a server-address file holds, byte for byte: every character shifted by the key, wrapping.
    const QString record = QStringLiteral("10.1.2.3\u00D419991\u00D442\u00D4me@x.org");
    QString text = record;
    basEncrypt_Decrypt::EncryptText(text);
    EXPECT_EQ(wire::toCp1252(text).toHex(), "a953a085655899a3f97da66b5da7226d904bc79961dd7fe795d9");

    QString everyCode;
    for (int code = 0; code < 256 * 3; ++code)
        everyCode += wire::cp1252Char(static_cast<unsigned char>(code % 256));
    QString patterned;
    for (int i = 0; i < 32771; ++i) // beyond what a 16-bit counter reaches
        patterned += QChar(u'a' + i % 26);
    for (const QString& plain : {record, everyCode, patterned, QString()}) {
        QString scrambled = plain;
        basEncrypt_Decrypt::EncryptText(scrambled);
        EXPECT_EQ(scrambled, wire::scrambled(plain));
        basEncrypt_Decrypt::DecryptText(scrambled);
        EXPECT_EQ(scrambled, plain) << "length " << plain.size();
    }
    // A character outside the code page is stored as a question mark.
    EXPECT_EQ(wire::unscrambled(wire::scrambled(QStringLiteral("a\u03A9b"))), QStringLiteral("a?b"));
}

// A server's address and port (with no message: the settings file holds them), a user ID and an
// e-mail address (with the message the user reads).
TEST(Validators, ServerAddressAndPortUserIdAndEmailWithTheirMessages) {
    const QString unsafe =
        QStringLiteral("Your email address may not contain the character \u00D4 or control characters!");
    const QString domain =
        QStringLiteral("The part after the @ in your email address is not a domain name such as example.com!");
    const auto server = [](const char* address, const char* port) {
        return QStringList{QString::fromLatin1(address), QString::fromLatin1(port)};
    };
    const auto user = [](const char* id, const char* email) {
        return QStringList{{}, {}, QString::fromLatin1(id), QString::fromLatin1(email)};
    };
    const struct {
        QStringList fields;
        bool valid;
        QString message;
    } cases[] = {
        {server("255.255.255.255", "65534"), true, {}},
        {server("10.0.0.256", "1"), false, {}},
        {server("10.0.0.1", "65535"), false, {}},
        {server("10.0.0.1", "0"), false, {}},
        {server("10.0.0.1.5", "80"), false, {}},
        {server("10.0.-1.1", "80"), false, {}},
        {server("10.0.0.1", "99999999999"), false, {}},
        {user("1", "ann@example.com"), true, {}},
        {user("x", "ann@example.com"), false, QStringLiteral("User ID is not a number?")},
        {user("1", "a n@b@example.com"), false,
         QStringLiteral("Your email address has Space!You have more than 1 @ sign in your email address")},
        {user("1", "ann.example.com@"), false,
         QStringLiteral("Your @sign can not be the last character in your email address!")},
        // Any ending a domain can have, but a domain it must be.
        {user("1", "ann@b\xFCro.De"), true, {}},
        {user("1", "ann@examplecom"), false, domain},
        {user("1", "ann@10.0.0.1"), false, domain},
        {user("1", "ann@example..org"), false, domain},
        {user("1", "a@b.c"), false,
         QStringLiteral("Your email address is shorter than 6 characters which is impossible.")},
        {user("1", "a@b.co"), true, {}}, // exactly six characters
        {user("1", "ann\xD4x@example.com"), false, unsafe},
        {user("1", "ann@ex\x85mple.com"), false, unsafe},
        {{{}, {}, "1", QStringLiteral("ann@\u4f8b\u3048.jp")},
         false,
         QStringLiteral("Your email address may not contain \u4f8b\u3048!")},
    };
    for (const auto& c : cases) {
        QString message = QStringLiteral("stale");
        EXPECT_EQ(basMain::fnCheckIpOrEmailFormat(c.fields, c.fields.size() == 2, message), c.valid)
            << c.fields.join(QLatin1Char(' ')).toStdString();
        EXPECT_EQ(message, c.message) << c.fields.join(QLatin1Char(' ')).toStdString();
    }
}

// What the wire's code page cannot carry would reach others as "?": refused, naming the characters.
TEST(Validators, NamesReachOthersAsTyped) {
    const struct {
        QString name;
        QString refused; // the characters the message names; empty: accepted
    } names[] = {
        {QStringLiteral("Zo\u00eb O'Brien \u20ac?"), {}},
        {QStringLiteral("\u0108arl \u00f4wen \u0108"), QStringLiteral("\u0108")},
        {QStringLiteral("Carl o\u0302wen"), QStringLiteral("\u0302")}, // the form composes it first
        {QStringLiteral("Ann \U0001F600"), QStringLiteral("\U0001F600")},
    };
    for (const auto& c : names) {
        QString message;
        EXPECT_EQ(basMain::fnCheckDisplayName(c.name, message), c.refused.isEmpty()) << c.name.toStdString();
        EXPECT_EQ(message.isEmpty() ? QString() : message.section(QLatin1Char(':'), 0, 0).section(QLatin1Char(' '), -1),
                  c.refused)
            << message.toStdString();
    }
}

// A code is read only as its exact digits: a peer's padded or signed code is no code at all.
TEST(MessageCodes, AreReadOnlyAsTheirExactDigits) {
    const struct {
        const char* text;
        std::optional<wire::Code> code;
    } cases[] = {
        {"1", wire::Code::LogIn}, {"2005", wire::Code::SignOffWithSettings},
        {"01", std::nullopt},     {" 1", std::nullopt},
        {"+4", std::nullopt},     {"1985 ", std::nullopt},
        {"6", std::nullopt},      {"", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(wire::codeOf(QString::fromLatin1(c.text)), c.code) << c.text;
}

TEST(SiteDateStamps, LaterOrNot) {
    const struct {
        qint32 first, second;
        bool later;
    } cases[] = {
        {1152007, 12052006, true},   // 15 Jan 2007 after 5 Dec 2006
        {152006, 1042006, true},     // 5 Jan 2006 (six digits) after 4 Jan 2006
        {12052006, 12052006, false}, //
        {12052006, 0, true},         // any stamp beats none
        {-5, 0, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(basMain::fnCompareDates(c.first, c.second), c.later) << c.first << " vs " << c.second;
}

// Reply 40 as the client reads it: a field out of shape and the whole reply is set aside, so the
// engine is never handed half a path.
TEST(CallPathsReply, EveryFieldMustReadAsItShouldOrNoneIsTaken) {
    const QStringList good = {"40",
                              "198.51.100.7",
                              "203.0.113.11:3478,203.0.113.13:3478",
                              "1700003600:1234567890123456",
                              "c2VjcmV0",
                              "203.0.113.12:5060",
                              "203.0.113.12:20000",
                              "1700003600:20000@203.0.113.12",
                              "cGFzcw==",
                              "3600"};
    // What the server sends is read back in tests/server/call_paths_test.cpp; here, a list of TURN servers.
    const std::optional<wire::CallPathsReply> read = wire::parseCallPaths(good);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->turnServers.size(), 2);

    struct Case {
        const char* what;
        int field;
        QString value;
    };
    const Case broken[] = {
        {"another code", 0, "1"},
        {"an observed name", 1, "home.example.org"},
        {"an observed IPv6 address", 1, "2001:db8::7"},
        {"a server without a port", 2, "203.0.113.11"},
        {"an address with a leading zero", 2, "203.0.113.011:3478"},
        {"a credential with a line break", 3, "1700003600:12\r\nVia: x"},
        {"a relay without its call address", 6, ""},
        {"a relay without credentials", 8, ""},
        {"a lifetime below zero", 9, "-1"},
    };
    for (const Case& c : broken) {
        QStringList fields = good;
        fields[c.field] = c.value;
        EXPECT_FALSE(wire::parseCallPaths(fields)) << c.what;
    }
    EXPECT_FALSE(wire::parseCallPaths(good.mid(0, 9))) << "a field short";
    // Nothing but the address is a reply like any other.
    EXPECT_TRUE(wire::parseCallPaths({"40", "198.51.100.7", "", "", "", "", "", "", "", "0"}));
}

} // namespace

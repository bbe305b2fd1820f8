// The one form of what callers name: user IDs, call addresses and e-mail addresses. Each table
// holds the spellings an attacker (or a careless client) would try beside the plain one.
#include "chatserver/Identifiers.h"
#include "chatserver/net/HostPort.h"

#include "StoreSupport.h"

#include <QRandomGenerator>

#include <arpa/inet.h>
#include <cstring>
#include <limits>
#include <netinet/in.h>

namespace {

TEST(Identifiers, UserIdsHaveOneSpelling) {
    const std::pair<QString, qint64> cases[] = {
        {"1", 1},      {"999999999999999999", 999999999999999999},
        {"007", 0},    {"0", 0},
        {"", 0},       {"-5", 0},
        {" 5", 0},     {"1234567890123456789", 0},
        {"\u0661", 0}, // an Arabic-Indic one
    };
    for (const auto& [text, id] : cases)
        EXPECT_EQ(chatserver::parseUserId(text).value_or(0), id) << text.toStdString();
}

// Lists show every contact by a handle written by hand: a wrong digit is a contact the client
// can no longer name. Every length, and the edges where the writer changes its steps.
TEST(Identifiers, HandlesAreWrittenAsTheyAreRead) {
    QList<qint64> numbers = {0, std::numeric_limits<qint64>::max()};
    for (qint64 power = 1;; power *= 10) {
        numbers << power - 1 << power << power + 1 << power * 7 + 3;
        if (power == 1'000'000'000'000'000'000) break;
    }
    for (int i = 0; i < 1000; ++i)
        numbers << qint64(QRandomGenerator::global()->generate64() >> 1);
    for (const qint64 number : numbers) {
        char16_t text[19] = {};
        const QString written = QString::fromUtf16(text, chatserver::writeUserId(text, number) - text);
        ASSERT_EQ(written, QString::number(number));
        if (number > 0 && number < 1'000'000'000'000'000'000) {
            EXPECT_EQ(chatserver::parseUserId(written), number);
        }
    }
}

TEST(Identifiers, CallAddressesAreLiteralWithAPortClientsCanTake) {
    const std::pair<QString, bool> cases[] = {
        {"", true}, // not known yet: a first registration
        {"127.0.0.2:5060", true},
        {"203.0.113.5", true}, // the address a registration knows before its engine's port
        {"203.0.113.5:65534", true},
        {"203.0.113.5:65535", false},
        {"203.0.113.5:0", false},
        {"203.0.113.5:05060", false},
        {"203.0.113.5:+5060", false},
        {"203.0.113.5:", false},
        {"203.0.113.05:5060", false},
        {"256.0.0.1:5060", false},
        {"host.example:5060", false},
        {"1.2.3.4:5060<b>", false},
        {"[2001:db8::1]:5060", true},
        {"2001:db8::1", true},
        {"[2001:DB8::1]:5060", false},
        {"[2001:db8:0:0:0:0:0:1]:5060", false},
        {"[fe80::1%eth0]:5060", false},
        {"2001:db8::1:5060", true}, // eight groups: an address without a port, as calls read it
    };
    for (const auto& [text, ok] : cases)
        EXPECT_EQ(chatserver::isAcceptableAddress(text), ok) << text.toStdString();
}

// Each form as it is kept, or empty when it is refused: the look-alikes of Ann's address either
// fold into hers or are refused, or name a mailbox of their own.
TEST(Identifiers, EmailAddressesFoldOrAreRefused) {
    const std::pair<QString, QString> cases[] = {
        {"ann@example.com", "ann@example.com"},
        {"Ann@Example.COM", "ann@example.com"},
        {"ann@example.com.", "ann@example.com"},
        {"  ann@example.com ", "ann@example.com"},
        {"ann\u00ad@example.com", ""}, // soft hyphen
        {"ann@exam\u00adple.com", ""},
        {"ann\u00a0@example.com", ""}, // no-break space
        {"ann\ufe0f@example.com", ""}, // variation selector
        {"ann\x01@example.com", ""},
        {"ann @example.com", ""},
        {"\"ann\"@example.com", ""},
        {"ann(x)@example.com", ""},
        {"ann@[192.0.2.1]", ""},
        {"ann@192.0.2.1", ""},
        {"ann@example..com", ""},
        {"ann@-example.com", ""},
        {"ann@localhost", ""},
        {".ann@example.com", ""},
        {"an..n@example.com", ""},
        {"ann@@example.com", ""},
        {"a@b@example.com", ""},
        {"annexample.com", ""},
        {"", ""},
        {QString(250, 'a') + "@example.com", ""},
        // Mailboxes of their own, which only their owners can confirm.
        {"ann+x@example.com", "ann+x@example.com"},
        {"ann.lee@example.com", "ann.lee@example.com"},
        {"\u00e9@example.org", "\u00e9@example.org"},
        {"e\u0301@example.org", "\u00e9@example.org"}, // composed as the code page sends it
        {"ann@b\u00fccher.de", "ann@xn--bcher-kva.de"},
        {"ann@B\u00dcCHER.DE", "ann@xn--bcher-kva.de"},
        {"ann@xn--bcher-kva.de", "ann@xn--bcher-kva.de"},
    };
    for (const auto& [text, kept] : cases) {
        const chatserver::EmailForm form = chatserver::normaliseEmail(text);
        EXPECT_EQ(form.address, kept) << text.toStdString();
        EXPECT_EQ(form.usable(), !kept.isEmpty()) << text.toStdString() << ": " << form.problem.toStdString();
    }
}

// Most addresses arrive already in the form they are kept in and skip the conversions; one
// capital letter sends the same address through all of them, which must keep it (or refuse it)
// just the same, odd domains included.
TEST(Identifiers, EmailAddressesKeepTheirFormWithOrWithoutCapitals) {
    const QString cases[] = {
        "ann@example.com",
        "ann@example.com.",
        "ann@xn--bcher-kva.de",
        "ann@xn--.de",
        "ann@ab--cd.example",
        "ann@-example.com",
        "ann@example-.com",
        "ann@exa_mple.com",
        "ann@1.2.3.4",
        "ann@example.c0m",
        "ann@example.1com",
        "ann@example..com",
        "ann@.example.com",
        "ann@example",
        "ann@.",
        "ann@",
        "ann.lee+x@example.com",
        "a~b!c#d$e%f&g@example.com",
        "ann@" + QString(64, 'a') + ".com",
        "ann@" + QString(63, 'a') + ".com",
        "ann@" + QString(250, 'a') + ".com",
    };
    for (const QString& text : cases) {
        QString capital = text;
        capital[0] = capital[0].toUpper();
        const chatserver::EmailForm plain = chatserver::normaliseEmail(text);
        const chatserver::EmailForm converted = chatserver::normaliseEmail(capital);
        EXPECT_EQ(plain.address, converted.address) << text.toStdString();
        EXPECT_EQ(plain.problem, converted.problem) << text.toStdString();
    }
}

// The limits count callers by the text of their address: one caller must never have two texts,
// whether it came over IPv4 or as an IPv4 address mapped into IPv6.
TEST(Identifiers, CallersAreNamedAsTheSystemWritesTheirAddresses) {
    for (unsigned value = 0; value < 256; ++value) {
        for (int position = 0; position < 4; ++position) {
            unsigned char octets[4] = {203, 0, 113, 9};
            octets[position] = static_cast<unsigned char>(value);
            char expected[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, octets, expected, sizeof expected);

            sockaddr_storage v4{};
            auto& in4 = reinterpret_cast<sockaddr_in&>(v4);
            in4.sin_family = AF_INET;
            std::memcpy(&in4.sin_addr, octets, 4);
            sockaddr_storage mapped{};
            auto& in6 = reinterpret_cast<sockaddr_in6&>(mapped);
            in6.sin6_family = AF_INET6;
            in6.sin6_addr.s6_addr[10] = in6.sin6_addr.s6_addr[11] = 0xFF;
            std::memcpy(&in6.sin6_addr.s6_addr[12], octets, 4);

            ASSERT_EQ(chatserver::callerText(v4), QLatin1String(expected));
            ASSERT_EQ(chatserver::callerText(mapped), QLatin1String(expected));
        }
    }
    sockaddr_storage v6{};
    auto& in6 = reinterpret_cast<sockaddr_in6&>(v6);
    in6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "2001:db8::1", &in6.sin6_addr);
    EXPECT_EQ(chatserver::callerText(v6), QStringLiteral("2001:db8::1"));
}

} // namespace

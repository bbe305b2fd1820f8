// The screen in front of the call engine, datagram by datagram: what it lets through, what it
// answers and how, what it drops, and how many calls one address may start.
#include "call/rtc/SipScreen.h"

#include <gtest/gtest.h>

namespace {

namespace sip = rtc::sip;
using sip::Action;
using sip::Reason;

// A request with the headers every request has, and `extra` lines after them.
QByteArray request(const QByteArray& method, const QByteArray& from = "\"Ann\" <sip:ann@10.0.0.1:5060>;tag=1",
                   const QByteArray& to = "<sip:me@10.0.0.2>", const QByteArray& extra = {}) {
    return method + " sip:me@10.0.0.2 SIP/2.0\r\nVia: SIP/2.0/UDP 10.0.0.1:5060;branch=z9hG4bK1\r\nFrom: " + from +
           "\r\nTo: " + to + "\r\nCall-ID: abc@10.0.0.1\r\nCSeq: 1 " + method +
           "\r\nContact: <sip:ann@10.0.0.1:5070;transport=udp>\r\n" + extra + "Content-Length: 0\r\n\r\n";
}

QByteArray named(qsizetype nameBytes) {
    // A From value of nameBytes + 32 bytes.
    return '"' + QByteArray(nameBytes, 'A') + "\" <sip:ann@10.0.0.1:5060>;tag=1";
}

// A transfer inside a call, display names at and past the bound and a datagram past its own are
// played against the engine in sip_attack_test, as are the new calls, answers and hang-ups every
// call there passes through; the table holds the rest.
TEST(SipScreen, EachDatagramIsLetThroughAnsweredOrDropped) {
    const QByteArray headers = QByteArray("X-Pad: 1\r\n").repeated(sip::kMaxHeaderLines - 7);
    const struct {
        const char* what;
        QByteArray datagram;
        Action action;
        int code;
        Reason reason;
    } cases[] = {
        {"compact header names",
         "OPTIONS sip:me@h SIP/2.0\r\nv: SIP/2.0/UDP h;branch=z9hG4bK2\r\nf: <sip:a@h>;tag=1\r\n"
         "t: <sip:me@h>\r\ni: x\r\nCSeq: 1 OPTIONS\r\n\r\n",
         Action::Pass, 0, Reason::None},
        {"a keep-alive", "\r\n\r\n", Action::Pass, 0, Reason::None},
        {"a transfer outside a call", request("REFER"), Action::Refuse, 403, Reason::Transfer},
        {"a takeover", request("INVITE", "<sip:a@h>;tag=1", "<sip:me@h>", "Replaces: c;to-tag=1;from-tag=2\r\n"),
         Action::Refuse, 403, Reason::Takeover},
        {"a joiner", request("INVITE", "<sip:a@h>;tag=1", "<sip:me@h>", "Join: c;to-tag=1;from-tag=2\r\n"),
         Action::Refuse, 403, Reason::Takeover},
        {"a text message", request("MESSAGE"), Action::Refuse, 405, Reason::NotOffered},
        {"a To past it", request("INVITE", "<sip:a@h>;tag=1", named(sip::kMaxAddressBytes)), Action::Refuse, 400,
         Reason::TooLarge},
        {"a name not quoted, past it", request("INVITE", QByteArray(1100, 'T') + " <sip:a@h>;tag=1"), Action::Refuse,
         400, Reason::TooLarge},
        {"a quote that never closes", request("INVITE", "\"Ann <sip:a@h>;tag=1"), Action::Refuse, 400,
         Reason::Malformed},
        {"a header line past its bound",
         request("INVITE", "<sip:a@h>;tag=1", "<sip:me@h>",
                 "Subject: " + QByteArray(sip::kMaxHeaderLineBytes, 's') + "\r\n"),
         Action::Refuse, 400, Reason::TooLarge},
        {"as many headers as allowed", request("INVITE", "<sip:a@h>;tag=1", "<sip:me@h>", headers), Action::Pass, 0,
         Reason::None},
        {"one header more", request("INVITE", "<sip:a@h>;tag=1", "<sip:me@h>", headers + "X-Pad: 1\r\n"),
         Action::Refuse, 400, Reason::TooLarge},
        {"a folded line", request("INVITE", "<sip:a@h>;tag=1", "<sip:me@h>", "Subject: a\r\n b\r\n"), Action::Refuse,
         400, Reason::Malformed},
        {"a header without a name", request("INVITE", "<sip:a@h>;tag=1", "<sip:me@h>", ": x\r\n"), Action::Refuse, 400,
         Reason::Malformed},
        {"two Froms", request("INVITE", "<sip:a@h>;tag=1\r\nFrom: <sip:b@h>;tag=2"), Action::Drop, 0,
         Reason::Malformed},
        {"no Call-ID",
         "INVITE sip:me@h SIP/2.0\r\nVia: SIP/2.0/UDP h;branch=z9hG4bK4\r\nFrom: <sip:a@h>;tag=1\r\n"
         "To: <sip:me@h>\r\nCSeq: 1 INVITE\r\n\r\n",
         Action::Drop, 0, Reason::Malformed},
        {"not SIP", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", Action::Drop, 0, Reason::Malformed},
        {"nothing", QByteArray(), Action::Drop, 0, Reason::Malformed},
        {"a response the engine could not take",
         "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP h;branch=z9hG4bK5\r\nFrom: <sip:me@h>;tag=1\r\nTo: " + named(1100) +
             "\r\nCall-ID: y\r\nCSeq: 1 INVITE\r\n\r\n",
         Action::Drop, 0, Reason::TooLarge},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        const sip::Verdict verdict = sip::screen(test.datagram);
        EXPECT_EQ(verdict.action, test.action);
        EXPECT_EQ(verdict.code, test.code);
        EXPECT_EQ(verdict.reason, test.reason);
    }
}

TEST(SipScreen, WhatARequestSaysOfItselfIsReadWithinTheBounds) {
    const sip::Verdict invite = sip::screen(request("INVITE", "\"A\\\"nn\" <sip:ann@10.0.0.1:5060>;tag=1"));
    ASSERT_TRUE(invite.request);
    EXPECT_TRUE(invite.newCall());
    EXPECT_EQ(invite.request->fromName, "A\\\"nn"); // as sent, escapes and all
    EXPECT_EQ(invite.request->fromUri, "sip:ann@10.0.0.1:5060");
    EXPECT_EQ(invite.request->contact, "10.0.0.1:5070");
    EXPECT_EQ(invite.request->callId, "abc@10.0.0.1");
    const sip::Verdict reinvite = sip::screen(request("INVITE", "<sip:a@h>;tag=1", "<sip:me@h>;tag=2"));
    EXPECT_FALSE(reinvite.newCall());
    const sip::Verdict noPort = sip::screen(request("OPTIONS").replace("ann@10.0.0.1:5070;", "ann@Host;"));
    EXPECT_EQ(noPort.request->contact, "host:5060");
}

TEST(SipScreen, MediaInsideACallGoesOnlyWhereTheCallsFirstDescriptionSaid) {
    const auto offer = [](const QByteArray& lines) {
        return sip::screen(request("INVITE", "<sip:a@h>;tag=1", "<sip:me@h>;tag=2", "Content-Type: application/sdp\r\n")
                               .replace("Content-Length: 0\r\n\r\n", "Content-Length: 1\r\n\r\n" + lines));
    };
    const sip::Verdict first =
        offer("v=0\r\nc=IN IP4 10.0.0.1\r\nm=audio 4000 RTP/AVP 0\r\na=rtcp:4001 IN IP4 10.0.0.1\r\n"
              "a=candidate:1 1 UDP 2130706431 10.0.0.1 4000 typ host\r\n"
              "a=candidate:2 1 UDP 16777215 198.51.100.9 50000 typ relay\r\n");
    EXPECT_EQ(first.media, (QList<QByteArray>{"10.0.0.1"}));
    EXPECT_EQ(first.candidates, (QList<QByteArray>{"10.0.0.1", "198.51.100.9"}));
    const QList<QByteArray> named = first.media + first.candidates;
    const struct {
        const char* what;
        QByteArray lines;
        bool stays;
    } cases[] = {
        {"the same address", "c=IN IP4 10.0.0.1\r\n", true},
        {"a candidate of the first offer (a relay)", "c=IN IP4 198.51.100.9/127\r\n", true},
        {"on hold", "c=IN IP4 0.0.0.0\r\n", true},
        {"no description", "", true},
        {"another address", "c=IN IP4 10.0.0.5\r\n", false},
        {"only RTCP elsewhere", "c=IN IP4 10.0.0.1\r\na=rtcp:9 IN IP4 10.0.0.5\r\n", false},
        {"a second stream elsewhere", "c=IN IP4 10.0.0.1\r\nm=video 9 RTP/AVP 96\r\nc=IN IP4 10.0.0.5\r\n", false},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        EXPECT_EQ(sip::mediaStaysPut(offer(test.lines), named), test.stays);
    }
}

TEST(SipScreen, ARefusalAnswersWithTheRequestsOwnHeadersAndATag) {
    const QByteArray refer = request("REFER", "<sip:a@h>;tag=1", "<sip:me@h>;tag=2") +
                             "Via: SIP/2.0/UDP proxy;branch=z9hG4bK9\r\n"; // after the body: not a header
    const QByteArray answer = sip::response(refer, 403, "Call Transfer Not Accepted");
    EXPECT_EQ(answer, "SIP/2.0 403 Call Transfer Not Accepted\r\nVia: SIP/2.0/UDP 10.0.0.1:5060;branch=z9hG4bK1\r\n"
                      "From: <sip:a@h>;tag=1\r\nTo: <sip:me@h>;tag=2\r\nCall-ID: abc@10.0.0.1\r\nCSeq: 1 REFER\r\n"
                      "Content-Length: 0\r\n\r\n");
    // A new call's refusal gives the callee a tag of its own.
    const QByteArray refused = sip::response(request("INVITE", named(2000)), 400, "Address Too Long");
    EXPECT_TRUE(refused.contains("\r\nTo: <sip:me@10.0.0.2>;tag=")) << refused.data();
    EXPECT_TRUE(refused.contains(named(2000)));
    // Without what an answer must repeat there is none.
    EXPECT_TRUE(sip::response("INVITE sip:a@h SIP/2.0\r\n\r\n", 400, "Bad Request").isEmpty());
}

TEST(SipScreen, OneAddressStartsAFewCallsAtOnceThenOneEveryFewSeconds) {
    sip::CallPace pace;
    const QString mallory = QStringLiteral("10.0.0.9");
    qint64 now = 1000000;
    for (int call = 0; call < sip::CallPace::kBurst; ++call)
        EXPECT_TRUE(pace.admit(mallory, now)) << call;
    EXPECT_FALSE(pace.admit(mallory, now));
    EXPECT_TRUE(pace.admit(QStringLiteral("10.0.0.8"), now));
    EXPECT_FALSE(pace.admit(mallory, now + sip::CallPace::kRefillMs - 1));
    EXPECT_TRUE(pace.admit(mallory, now + sip::CallPace::kRefillMs));
    EXPECT_FALSE(pace.admit(mallory, now + sip::CallPace::kRefillMs));
    // A crowd of addresses is remembered up to a bound: the oldest are forgotten, not the memory grown.
    for (int source = 0; source < 2 * sip::CallPace::kMaxSources; ++source)
        pace.admit(QStringLiteral("10.9.%1.1").arg(source), now);
    EXPECT_TRUE(pace.admit(mallory, now + sip::CallPace::kRefillMs)); // forgotten: a fresh start
}

// The cases a caller meets every day (a relay's own users, strangers naming them) are played
// through the engine in sip_attack_test; these are the relay's odd answers.
TEST(SipScreen, ANewCallComesFromWhomItsSourceOrTheUsersRelayNames) {
    const QList<QByteArray> relays = {"203.0.113.12:5060", "203.0.113.13:5060"};
    const QByteArray relay = "203.0.113.12:5060";
    const struct {
        const char* what;
        QByteArray from;       // the datagram's source
        QByteArray identities; // P-Asserted-Identity lines
        QByteArray source;     // the call's source as decided; its host is what the pace counts
    } cases[] = {
        {"straight from the caller", "198.51.100.7:5060", {}, "198.51.100.7:5060"},
        {"the relay, for a user of another relay (no word of its own)", relay,
         "P-Asserted-Identity: <sip:203.0.113.13:20001>\r\n", "203.0.113.13:20001"},
        {"the relay, saying nothing", relay, {}, relay},
        {"the relay with two identities", relay,
         "P-Asserted-Identity: <sip:203.0.113.12:20001>\r\nP-Asserted-Identity: <sip:198.51.100.7:5062>\r\n", relay},
        {"the relay, naming a telephone number", relay, "P-Asserted-Identity: <tel:+15551234>\r\n", relay},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        const sip::Verdict verdict = sip::screen(
            request("INVITE", "\"Ann\" <sip:ann@10.0.0.1:5060>;tag=1", "<sip:me@10.0.0.2>", test.identities));
        ASSERT_TRUE(verdict.request);
        const sip::Origin origin = sip::originOf(*verdict.request, test.from, relays);
        EXPECT_EQ(origin.source, test.source);
        EXPECT_EQ(origin.contact, "10.0.0.1:5070"); // the request's own Contact, whoever relayed it
        EXPECT_EQ(origin.paceKey(), test.source.split(':').first());
    }
}

} // namespace

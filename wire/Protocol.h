#pragma once
// What crosses the chat wire, shared by client and server.
#include <QString>
#include <QStringList>
#include <optional>

namespace wire {

// Field separator of every message, settings file and dialog answer: "Ô", U+00D4, byte 0xD4.
inline constexpr QChar kSep{0x00D4};
inline const QString kCrLf = QStringLiteral("\r\n");

inline constexpr quint16 kDefaultChatPort = 19991;

// The longest display name a user may register under: the server refuses a longer one, and the
// client's form does not take more.
inline constexpr int kMaxDisplayNameChars = 64;

// Whether the text holds a control character, which no field of a request may carry: it could
// garble the request, a log line or the screen that shows it.
bool hasControlCharacter(const QString& text);
// The text with every character that is not shown as itself (controls, format marks such as
// direction overrides, line and paragraph separators) turned into a space: what a peer names
// itself with can then only be shown as the plain text it is.
QString invisiblesAsSpaces(QString text);

// Reply framing: decimal payload length in characters, the separator, then the payload.
QString frameReply(const QString& payload);
// The same framing straight into bytes, one a character, when the code page writes every
// character of the payload as Latin-1 does (none above 0xFF nor in 0x80-0x9F): what
// toCp1252(frameReply(payload)) makes of it, without the framed text in between. Nothing for any
// other payload, found in the same pass.
std::optional<QByteArray> frameReplyLatin1(QStringView payload);

// Collects the chunks of one length-prefixed reply. The prefix is read once, from the start of
// the reply (it may itself arrive split); later chunks are appended whole; the reply is complete
// as soon as the announced number of characters is in, and anything beyond is dropped.
// A prefix that is empty, not all decimal digits or too long makes the reply Malformed; one
// announcing more than kMaxReplyChars makes it TooLong, and nothing of it is kept. After any
// result but Incomplete the framer drops every further chunk (feed returns Incomplete
// with no payload) until reset(), which starts the next reply: call it when a connection opens.
class ReplyFramer {
public:
    enum class Status { Incomplete, Complete, Malformed, TooLong };
    struct Result {
        Status status = Status::Incomplete;
        QString payload; // set when Complete
    };

    Result feed(const QString& chunk);
    void reset();
    // A reply has begun and is neither complete nor malformed yet.
    bool inProgress() const { return m_state == State::Collecting && (!m_buffer.isEmpty() || m_expected >= 0); }

    // Longest length prefix accepted, in digits; a longer one is malformed.
    static constexpr int kMaxPrefixDigits = 9;
    // Longest reply accepted, in characters (1 MiB): a peer announcing more could make the
    // collector hold whatever it cares to send.
    static constexpr qsizetype kMaxReplyChars = qsizetype{1024} * 1024;

private:
    enum class State { Collecting, Finished };
    QString m_buffer;
    qsizetype m_expected = -1; // -1 until the prefix has been read
    State m_state = State::Collecting;
};

} // namespace wire

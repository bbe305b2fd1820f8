#pragma once
// Decides when a chat request has arrived whole and splits it into its fields.
//
// A request carries neither a length nor a terminator: the client writes it in one piece and
// waits. It is therefore complete once what has arrived unscrambles to the number of fields its
// code needs (the last one being the caller's call address). Because the last field has no end
// mark, a complete-looking request whose last field could still be growing is reported as not
// yet settled: the connection gives it a short moment to grow before answering.
#include <QByteArray>
#include <QString>
#include <QStringList>

namespace chatserver {

struct ChatRequest {
    QString code;
    QStringList args;    // the fields between the code and the call address
    QString callAddress; // the caller's call address; empty when the request came without one
    bool scrambled = true;
    bool hasAddress = true; // false for a request sent as plain text, which carries no address
};

struct ChatParse {
    enum class Status { Incomplete, Complete, Malformed };
    Status status = Status::Incomplete;
    // Complete only: the last field cannot be cut short (it ends the way a call address ends).
    bool settled = false;
    ChatRequest request; // Complete only
    QString reason;      // Malformed only, for the log
    // Malformed only: the code was recognised, so a refusal can be answered in the protocol.
    QString knownCode;
};

// Number of fields (code and call address included) a request with this code has on the wire;
// -1 for a code the server does not serve.
int chatFieldCount(QStringView code);

// Reads one connection's request as it arrives. Each byte is unscrambled and looked at once, and
// the fields before the last are split once, so a request that trickles in a byte at a time costs
// no more than one that comes whole.
class ChatRequestReader {
public:
    explicit ChatRequestReader(qsizetype maxBytes) : m_maxBytes(maxBytes) {}

    // Takes the next bytes and says where the request stands with everything received so far.
    // A refusal is final: later bytes are not looked at, and the same refusal is given again.
    const ChatParse& feed(QByteArrayView bytes);

private:
    void judge(qsizetype oldSize);
    void setMalformed(QString reason, QString knownCode = {});

    qsizetype m_maxBytes;
    bool m_plain = false;
    QByteArray m_text;          // unscrambled
    qsizetype m_separators = 0; // in m_text
    QString m_code;
    int m_fieldsNeeded = 0; // once the code is known
    qsizetype m_lastFieldAt = -1;
    ChatParse m_parse;
};

// Parses a request received in one piece. Scrambled requests are recognised by their first byte
// (a plain request starts with a digit); plain ones lack the call address.
ChatParse parseChatRequest(QByteArrayView received, qsizetype maxBytes);

} // namespace chatserver

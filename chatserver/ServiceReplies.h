#pragma once
// How the answers of ChatService are put together, for the files that make up the service.
#include "chatserver/ChatService.h"
#include "wire/MessageCodes.h"
#include "wire/Protocol.h"

namespace chatserver::answers {

inline QString joined(wire::Code code, const QList<QStringList>& records, const QStringList& trailing = {}) {
    const QString replyCode = wire::codeText(code);
    qsizetype size = replyCode.size();
    for (const QStringList& fields : records)
        for (const QString& field : fields)
            size += field.size() + 1;
    for (const QString& field : trailing)
        size += field.size() + 1;
    QString payload;
    payload.reserve(size);
    payload += replyCode;
    // Separator and field apart: `kSep + field` would make a string of its own for each field.
    for (const QStringList& fields : records)
        for (const QString& field : fields) {
            payload += wire::kSep;
            payload += field;
        }
    for (const QString& field : trailing) {
        payload += wire::kSep;
        payload += field;
    }
    return payload;
}

inline ChatService::Outcome reply(QString payload, QString note) {
    return {std::move(payload), std::move(note)};
}

inline ChatService::Outcome refused(wire::Code replyCode, const QString& reason, QString note) {
    return {joined(replyCode, {}, {reason}), std::move(note)};
}

// The alternate-server page carries records between these markers, which the client finds by a
// case-sensitive search; a display name holding one would cut its reading of the page short.
inline bool holdsPageMarker(const QString& text) {
    return text.contains(QLatin1String("LookWANIP"), Qt::CaseSensitive) ||
           text.contains(QLatin1String("ClientChatWANIP"), Qt::CaseSensitive);
}

// A log-in answer ("1" and its records) turned into one that also tells the user something:
// reply 11 with the same records and then the text and title of a message box (the client reads
// a notice only after a record), or, for a user without contacts, the red status text of reply
// 1957. Nothing for any other answer.
inline std::optional<QString> withLogInNotice(const QString& logInReply, const QString& text, const QString& title) {
    const QString logIn = wire::codeText(wire::Code::LogIn);
    if (logInReply == logIn) return wire::codeText(wire::Code::Refused) + wire::kSep + text;
    if (!logInReply.startsWith(logIn + wire::kSep)) return std::nullopt;
    return wire::codeText(wire::Code::Notice) + logInReply.mid(logIn.size()) + wire::kSep + text + wire::kSep + title;
}

} // namespace chatserver::answers

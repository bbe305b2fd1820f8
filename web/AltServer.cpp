#include "web/AltServer.h"

#include "platform/vb.h"
#include "web/WebText.h"
#include "wire/MessageCodes.h"
#include "wire/Protocol.h"

#include <QStringList>
#include <optional>

namespace web {

QString alternateRequest(const QString& msgToSend, const QString& wanIp, const QDateTime& now) {
    QString request = msgToSend;
    QStringList fields = msgToSend.split(wire::kSep);
    if (wire::codeOf(fields.first()) == wire::Code::LogIn) {
        fields.first() = wire::codeText(wire::Code::DatedRecords);
        fields.last() = vb::Format(now, QStringLiteral("mm/dd/yyyy hh:mm:ss"));
        request = fields.join(wire::kSep);
    }
    return request + wire::kSep + wanIp;
}

void mergeUserAddress(UserRow& row, const QString& ip, const QString& status, const QString& date) {
    const bool onLineBeatsOffLine = row[4] != QLatin1String("1") && status == QLatin1String("1");
    auto take = [&](const QString& onlineDate) {
        row[3] = ip;
        row[4] = status;
        row[5] = onlineDate;
    };
    if (!date.isEmpty()) {
        if (row[5].isEmpty() || vb::CDate(date) > vb::CDate(row[5]) || onLineBeatsOffLine) take(date);
    } else if (row[5].isEmpty() || onLineBeatsOffLine) {
        take(kDefaultOnlineDate);
    }
}

AltServerAnswers::AltServerAnswers() : m_table(1) {}

AltServerAnswers::Outcome AltServerAnswers::readDefaultServer(const QString& reply, QString& msgReceived, int* mark) {
    return read(reply, msgReceived, false, mark);
}

AltServerAnswers::Outcome AltServerAnswers::readSite(const QString& reply, QString& msgReceived, int* mark) {
    return read(reply, msgReceived, true, mark);
}

namespace {

// The value of one piece: its text after the start marker, blanks included.
std::optional<QString> pieceValue(const QString& piece) {
    const qsizetype at = piece.indexOf(kLookStart);
    if (at < 0) return std::nullopt;
    return piece.mid(at + kLookStart.size());
}

} // namespace

AltServerAnswers::Outcome
AltServerAnswers::read(const QString& reply, QString& msgReceived, bool fromSite,
                       int* mark) { // NOLINT(readability-non-const-parameter): set through step
    int unused = 0;
    int& step = mark ? *mark : unused;
    msgReceived.clear();
    // Every piece before the last end marker carries one value; the text after it is not read.
    const QStringList pieces = reply.split(kLookEnd);
    const qsizetype lastPiece = pieces.size() - 2;
    int counter = 0;
    qsizetype row = 0; // the row of the record being merged

    for (qsizetype i = 0; i <= lastPiece; ++i) {
        const std::optional<QString> value = pieceValue(pieces[i]);
        if (!value) return Outcome::Malformed;
        if (i == 0) {
            step = 10;
            m_code = trimBlanks(*value);
            if (!fromSite) msgReceived = m_code;
            counter = 0;
            continue;
        }
        if (wire::codeOf(m_code) == wire::Code::SignOff) {
            step = 30;
            msgReceived += wire::kSep + *value;
            continue;
        }
        if (wire::codeOf(m_code) != wire::Code::DatedRecords) continue;
        step = 12 + counter;

        if (!fromSite) {
            if (counter == 0 && !m_table[0][0].isEmpty()) m_table.append(UserRow{});
            UserRow& last = m_table.last();
            if (counter == 5) {
                last[5] = value->isEmpty() ? kDefaultOnlineDate : *value;
                counter = 0;
            } else {
                last[counter] = *value;
                ++counter;
            }
            continue;
        }

        switch (counter) {
        case 0:
            // Before the first complete record the table's first row is free.
            if (m_table[0][5].isEmpty()) {
                row = 0;
            } else {
                row = -1;
                for (qsizetype r = 0; r < m_table.size() && row < 0; ++r)
                    if (m_table[r][0] == *value) row = r;
                if (row < 0) {
                    m_table.append(UserRow{});
                    row = m_table.size() - 1;
                }
            }
            m_table[row][0] = *value;
            break;
        case 1:
        case 2:
            m_table[row][counter] = *value;
            break;
        case 3: {
            // Status and date are read ahead: the address is taken only together with them.
            step = 16;
            const std::optional<QString> status = pieceValue(pieces[i + 1]);
            if (!status) return Outcome::Malformed;
            // Only the text after the last end marker can follow here: a record cut short.
            step = 17;
            if (i + 2 >= pieces.size()) vb::raise(vb::kErrSubscript);
            const std::optional<QString> date = pieceValue(pieces[i + 2]);
            if (!date) return Outcome::Malformed;
            step = 18;
            mergeUserAddress(m_table[row], *value, *status, *date);
            break;
        }
        default: // status and date, already consumed
            break;
        }
        counter = counter == 5 ? 0 : counter + 1;
    }
    return Outcome::Read;
}

QString AltServerAnswers::message() const {
    QString text = m_code;
    for (const UserRow& user : m_table)
        for (const QString& cell : user)
            text += wire::kSep + cell;
    return text;
}

} // namespace web

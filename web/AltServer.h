#pragma once
// The alternate server: how the pending chat request is carried to its web pages and how their
// answers are read and merged into one user list. Plain code over text; fnUseAlternateSRV
// fetches the pages and hands the result on.
#include <QDateTime>
#include <QList>
#include <QString>
#include <array>

namespace web {

// On-line date of a record that carries none.
inline const QString kDefaultOnlineDate = QStringLiteral("01/01/1998 11:11:11");
// Extra query value of the default web server's InfoDT.asp.
inline const QString kInfoDtExtra = QStringLiteral("Jet OLEDB:Database Password=brick789");

// The pending request as the alternate server takes it. A poll ("1" Ô ID Ô e-mail) becomes
// "77" with the local date-time `now` ("mm/dd/yyyy hh:mm:ss") in its last field; then every
// request gains "Ô" and the client's own address.
QString alternateRequest(const QString& msgToSend, const QString& wanIp, const QDateTime& now);

// One user: ID, display name, e-mail, IP address, status ("1" on line), on-line date.
using UserRow = std::array<QString, 6>;

// The merge rule for a site's record against the user's row: a later date wins; without one,
// an on-line record beats an off-line row; a record without a date gets the default date when
// it is taken. Dates are compared as date-time values (an unreadable date raises 13).
void mergeUserAddress(UserRow& row, const QString& ip, const QString& status, const QString& date);

// The answers of one alternate-server lookup: the last reply code read and the user table,
// which starts with one empty row.
class AltServerAnswers {
public:
    enum class Outcome { Read, Malformed };

    AltServerAnswers();

    // Reads a reply of the default web server. `msgReceived` is cleared and then holds the
    // reply code, followed by "Ô" + value for each value of a code-2 reply; the records of a
    // code-77 reply are appended to the table.
    // `mark`, when given, follows the reading for the error log: 10 the reply code, 12 to 17 the
    // six fields of a record (a site's record reads its status and date ahead, at 16 and 17),
    // 18 a site's record merged, 30 a free value.
    Outcome readDefaultServer(const QString& reply, QString& msgReceived, int* mark = nullptr);
    // Reads a reply of an alternate-server site. `msgReceived` is cleared and gains "Ô" + value
    // for each value of a code-2 reply; the records of a code-77 reply are merged into the
    // table, one row per user ID.
    Outcome readSite(const QString& reply, QString& msgReceived, int* mark = nullptr);

    const QString& code() const { return m_code; }
    const QList<UserRow>& table() const { return m_table; }
    // The table as a message 77: the code, then "Ô" + cell for every cell, row by row.
    QString message() const;

private:
    Outcome read(const QString& reply, QString& msgReceived, bool fromSite, int* mark);

    QString m_code;
    QList<UserRow> m_table;
};

} // namespace web

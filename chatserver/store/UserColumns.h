#pragma once
// The order in which every query of the store lists a user's columns, in one place for both ways
// of reading rows (Qt's SQL queries and SQLite's own statements). `Row` hands out column i with
// integer(i) and text(i).
#include "chatserver/store/Storage.h"

namespace chatserver {

// 1 when user `u` signs in over TLS only: a column of the poll's read of the user's own row, so
// that the plain port's check and the poll ask the store once.
inline constexpr char kSecureMark[] =
    "CASE WHEN EXISTS (SELECT 1 FROM secure_accounts s WHERE s.user_id = u.id) THEN 1 ELSE 0 END";

// A user's own record has all nine columns; a contact, as a list shows it, the first six.
enum class Columns { User, Contact };

// ID, e-mail, display name, address, on line, last seen; then created, log-in peer and state.
template <typename Row> UserRecord readUserColumns(const Row& row, int offset, Columns columns = Columns::User) {
    UserRecord user;
    user.id = row.integer(offset + 0);
    user.email = row.text(offset + 1);
    user.displayName = row.text(offset + 2);
    user.address = row.text(offset + 3);
    user.online = row.integer(offset + 4) != 0;
    user.lastSeenMs = row.integer(offset + 5);
    if (columns == Columns::Contact) return user;
    user.createdMs = row.integer(offset + 6);
    user.loginPeer = row.text(offset + 7);
    user.state = static_cast<AccountState>(row.integer(offset + 8));
    return user;
}

} // namespace chatserver

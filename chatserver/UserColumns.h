#pragma once
// The order in which every query of the store lists a user's columns, in one place for both ways
// of reading rows (Qt's SQL queries and SQLite's own statements). `Row` hands out column i with
// integer(i) and text(i).
#include "chatserver/Storage.h"

namespace chatserver {

// A user: ID, e-mail, display name, address, on line, last seen, created, log-in peer.
template <typename Row> UserRecord readUserColumns(const Row& row, int offset) {
    UserRecord user;
    user.id = row.integer(offset + 0);
    user.email = row.text(offset + 1);
    user.displayName = row.text(offset + 2);
    user.address = row.text(offset + 3);
    user.online = row.integer(offset + 4) != 0;
    user.lastSeenMs = row.integer(offset + 5);
    user.createdMs = row.integer(offset + 6);
    user.loginPeer = row.text(offset + 7);
    return user;
}

// A contact as a list shows it: ID, display name, e-mail, address, on line, last seen.
template <typename Row> UserRecord readContactColumns(const Row& row, int offset) {
    UserRecord contact;
    contact.id = row.integer(offset + 0);
    contact.displayName = row.text(offset + 1);
    contact.email = row.text(offset + 2);
    contact.address = row.text(offset + 3);
    contact.online = row.integer(offset + 4) != 0;
    contact.lastSeenMs = row.integer(offset + 5);
    return contact;
}

} // namespace chatserver

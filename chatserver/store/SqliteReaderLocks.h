#pragma once
// Keeps the shared locks of the write-ahead log's reader slots taken by this process.
//
// Every read transaction on a store in WAL mode takes a shared lock on one of five reader slots
// of the log's index file and gives it back at its end. SQLite counts which of this process's
// connections hold which slot, and asks the system (fcntl) only when none of the others does:
// with short reads, two system calls per poll, a fifth of all the server's calls, at a
// microsecond or more each. Record locks belong to the process, not to a connection, so a slot's
// shared lock can be kept once taken, and the next reader here finds it held. Within the process
// nothing changes: SQLite's own count still tells its connections apart, and a writer or a
// checkpoint here is refused a slot only while a connection here reads through it, as before.
// Another process (an operator command) sees this one as a reader on the slots it keeps, which
// SQLite allows of any reader: while they are kept, that process copies the log into the file
// only up to those readers' marks and cannot start the log over, which this process's own
// checkpoints do. So the slots no connection reads through are given back every second.
namespace chatserver {

// Installs the keeping into SQLite's Unix file layer, once for the process, before its first
// connection opens a file; later calls do nothing. False when SQLite has no such layer (the
// locks are then taken and given back as usual).
bool keepSqliteReaderLocks();

// Gives back the kept locks of slots no connection of this process reads through now.
void giveBackIdleSqliteReaderLocks();

} // namespace chatserver

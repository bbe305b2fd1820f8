#pragma once
// The store on QtSql. The statements are the same text for every database we support except
// where a dialect differs (identity columns, locking during migrations); the two back ends below
// supply those parts. Values always travel as bound parameters.
#include "chatserver/store/PendingPresence.h"
#include "chatserver/store/Storage.h"

#include <QHash>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <deque>
#include <map>

struct sqlite3;
struct sqlite3_stmt;

namespace chatserver {

class SqliteCheckpointer;

class SqlStorage : public Storage {
public:
    ~SqlStorage() override;

    void migrate() override;
    int schemaVersion() override;

    std::optional<qint64> registerUser(const NewUser& user) override;
    RegistrationQuota::Level takeRegistration(const RegistrationQuota& quota) override;
    void forgetRegistrations(qint64 beforeMs) override;
    CallerCounts callerCounts(const CallerQuery& query) override;
    void recordRefusal(const QString& addressKey, const QString& networkKey, const QList<qint64>& accounts,
                       qint64 nowMs) override;
    bool takeLookup(const QString& addressKey, int cap, qint64 sinceMs, qint64 nowMs) override;
    void forgetCallerEvents(qint64 beforeMs, int keep) override;
    QString pendingEmail(qint64 id) override;
    int pendingFor(const QString& email, qint64 sinceMs) override;
    Confirmation confirm(const QString& codeHash, qint64 madeSinceMs) override;
    qint64 listableFor(const QString& email, qint64 nowMs) override;
    int dropUnconfirmed(qint64 beforeMs) override;
    void markToldConfirmed(qint64 id) override;
    std::optional<UserRecord> findUser(qint64 id) override;
    std::optional<UserRecord> findUserByEmail(const QString& email) override;
    void markOnline(qint64 id, const QString& address, const QString& peer, qint64 nowMs) override;
    void markOffline(qint64 id) override;
    void touch(qint64 id, qint64 nowMs) override;
    qsizetype flushPresence(qsizetype maxUsers = 0) override;
    std::shared_ptr<PendingPresence> pendingPresence() override { return m_pending; }
    void sharePendingPresence(std::shared_ptr<PendingPresence> pending) override { m_pending = std::move(pending); }
    std::optional<PollView> pollView(qint64 id) override;
    std::optional<PollView> pollHead(qint64 id) override;
    QList<UserRecord> contactsOf(qint64 ownerId) override;
    int contactCount(qint64 ownerId) override;
    bool addContact(qint64 ownerId, qint64 contactId, qint64 nowMs, qint64 handle) override;
    void setContactHandle(qint64 ownerId, qint64 contactId, qint64 handle) override;
    void removeContact(qint64 ownerId, qint64 contactId) override;
    QList<UserRecord> askingToReach(qint64 userId, int limit) override;
    void ignoreRequest(qint64 userId, qint64 requesterId, qint64 nowMs, int keep) override;
    qint64 queueNotice(std::optional<qint64> targetId, const QString& text, const QString& title,
                       qint64 nowMs) override;
    std::optional<Notice> pendingNotice(const UserRecord& user) override;
    void markNoticeDelivered(qint64 noticeId, qint64 userId, qint64 nowMs) override;
    qint64 announceMove(const QString& address, const QString& port, qint64 nowMs) override;
    std::optional<Move> latestMove() override;
    std::optional<Move> pendingMove(const UserRecord& user) override;
    void markMoveDelivered(qint64 moveId, qint64 userId, qint64 nowMs) override;
    qint64 operatorGeneration() override;
    QByteArray sharedSecret(const QByteArray& candidate) override;
    std::optional<RelaySlot> relaySlot(qint64 userId, const QList<PortBlock>& blocks) override;
    void markSignsInSecurely(qint64 id, qint64 nowMs) override;
    bool signsInSecurely(qint64 id) override;
    qint64 moveUser(qint64 oldId, qint64 nowMs) override;
    std::optional<qint64> replacedAt(qint64 id) override;
    void begin() override;
    void commit() override;
    void rollback() override;

protected:
    explicit SqlStorage(const QString& driver);

    // Opens m_db with the back end's connection settings; throws StorageError.
    virtual void openConnection(QSqlDatabase& db) = 0;
    // Runs once per fresh connection (pragmas, session settings).
    virtual void configureConnection() {}
    // Schema steps: entry N brings the schema from version N to N + 1.
    virtual QList<QStringList> migrations() const = 0;
    // Taken inside the migration transaction so that two servers starting together do not both
    // migrate; empty when the database serialises writers by itself.
    virtual QString migrationLockStatement() const { return {}; }
    // The statement that starts a transaction. SQLite's takes the write lock at once: a reader
    // that later writes could otherwise fail when another process wrote in between.
    virtual QString beginStatement() const { return QStringLiteral("BEGIN"); }
    // Locks the two users' rows (bound in ID order) until the end of the transaction; empty when
    // the transaction holds the only write lock anyway.
    virtual QString pairLockStatement() const { return {}; }
    // Held while a registration is counted, so that servers sharing the store count one at a
    // time; empty when the transaction holds the only write lock anyway.
    virtual QString registrationLockStatement() const { return {}; }
    // Held while an address changes hands (confirmed, or taken into lists), one address at a time.
    virtual QString emailLockStatement() const { return {}; }

    void open();
    // Called before the connection is closed (a reconnect): statements of the back end's own go.
    virtual void closingConnection() {}
    void ensureOpen();
    bool alive();
    void execOnce(const QString& sql);
    // A statement not kept prepared (asked now and then), bound with `values` in order and run on
    // `query`, whose rows the caller then reads.
    void execOnce(QSqlQuery& query, const QString& sql, const QVariantList& values);
    QSqlDatabase& database() { return m_db; }

private:
    enum class Stmt {
        Register,
        FindUser,
        FindUserByEmail,
        MarkOnlineWithPeer,
        MarkOnlineNoPeer,
        MarkOffline,
        Contacts,
        ContactCount,
        AddContact,
        SetContactHandle,
        RemoveContact,
        SetMutual,
        LockPair,
        QueueNotice,
        PendingNotice,
        NoticeDelivered,
        AnnounceMove,
        LatestMove,
        PendingMove,
        MoveDelivered,
        Generation,
        PollView,
        PollHead,
        Touch,
        ViewersOf,
        BumpListVersion,
        // Registrations in windows of time (SqlRegistrations.cpp).
        LockRegistrations,
        RegistrationsFromAddress,
        RegistrationsFromNetwork,
        RegistrationsInAll,
        RecordRegistration,
        ForgetRegistrations,
        // Accounts that wait for their address, and invitations (SqlRegistrations.cpp).
        RegisterPending,
        PendingEmail,
        PendingFor,
        FindByConfirmHash,
        LockEmail,
        HolderOfEmail,
        MakeInvitation,
        MoveEntries,
        DropUser,
        ClaimEmail,
        ToldConfirmed,
        RecountMutual,
        DropPendingLists,
        DropPendingNoticeDeliveries,
        DropPendingMoveDeliveries,
        DropPendingNoticeTargets,
        DropPendingNotices,
        DropPendingRelayPorts,
        DropPendingSecureMarks,
        DropPending,
        DropUnlistedInvitations,
        MarkSecure,
        IsSecure,
    };

    // A prepared statement, bound with `values` in order and executed. A lost connection is
    // opened again once before giving up.
    QSqlQuery& run(Stmt stmt, const QVariantList& values);
    QSqlQuery& prepared(Stmt stmt);
    QString sqlFor(Stmt stmt) const;
    QString registrationSqlFor(Stmt stmt) const;
    // What a pending account's e-mail column holds while its address waits in pending_email:
    // unique, and no address (it has no "@"), so no look-up by address ever finds it.
    static QString pendingStandIn(qint64 id);
    // The ID and state of the account or invitation that has `email` now; from here to the end
    // of the transaction no other server changes who has it.
    std::optional<std::pair<qint64, AccountState>> holderOf(const QString& email);
    // How many registrations `stmt` finds since `sinceMs` under `key` (the count in all has none),
    // counting no further than `cap`.
    int countRegistrations(Stmt stmt, const QString& key, qint64 sinceMs, int cap);
    // The user or contact record at `offset`, in the column order of UserColumns.h.
    static UserRecord readUser(const QSqlQuery& query, int offset);
    UserRecord readContact(const QSqlQuery& query, int offset) const;
    // Inside the transaction of a list change that concerns both users (see pairLockStatement).
    void lockPair(qint64 firstId, qint64 secondId);
    // Moves the list versions noted in this transaction: the lists of every user noted, and of
    // everyone who lists a user whose record changed. Last thing before the commit, in user
    // order, so that writers of the store meet at these rows only one way round.
    void writeListVersions();

protected:
    // What a write changed, for the list versions (see PollView::listVersion): `id`'s own list,
    // or what `id` shows the users who list it.
    void listChanged(qint64 id);
    void shownChanged(qint64 id);

protected:
    // Last-seen times not written yet win over what the store says.
    void overlayPending(UserRecord& user) const;
    void overlayPending(PollView& view) const;
    // Writes one user's last-seen time, unless the store has a later one (inside flushPresence's
    // transaction).
    virtual void writeLastSeen(qint64 id, qint64 nowMs);

private:
    [[noreturn]] void fail(const QString& what, const QSqlQuery& query) const;

    QString m_connectionName;
    QSqlDatabase m_db;
    std::map<Stmt, QSqlQuery> m_prepared;
    bool m_inTransaction = false;
    bool m_broken = false; // the connection failed: open a fresh one before the next use
    std::shared_ptr<PendingPresence> m_pending;
    QList<qint64> m_changedLists; // noted in the transaction under way
    QList<qint64> m_changedShown;
};

class SqliteStorage final : public SqlStorage {
public:
    explicit SqliteStorage(QString path);
    ~SqliteStorage() override;

    // The poll's read straight on SQLite's own interface: through QtSql every column of every
    // row became a QVariant first, which cost more than the query.
    std::optional<PollView> pollView(qint64 id) override;
    std::optional<PollView> pollHead(qint64 id) override;
    // Asked before every request on the plain port, nearly always of an account that never
    // signed in over TLS: through QtSql the look-up cost a tenth of a poll.
    bool signsInSecurely(qint64 id) override;
    QString lostReason() override;

protected:
    void writeLastSeen(qint64 id, qint64 nowMs) override;
    void closingConnection() override;
    void openConnection(QSqlDatabase& db) override;
    void configureConnection() override;
    QList<QStringList> migrations() const override;
    QString beginStatement() const override { return QStringLiteral("BEGIN IMMEDIATE"); }

private:
    QString m_path;
    sqlite3* m_handle = nullptr; // the QtSql connection's own, while it is open
    std::unique_ptr<SqliteCheckpointer> m_checkpointer;
    sqlite3_stmt* m_pollStatement = nullptr;   // prepared at the first poll
    sqlite3_stmt* m_headStatement = nullptr;   // prepared at the first poll from memory
    sqlite3_stmt* m_seenStatement = nullptr;   // prepared at the first write of last-seen times
    sqlite3_stmt* m_secureStatement = nullptr; // prepared at the first request on the plain port
    // The file the connection opened; a path that no longer leads to it means writes go nowhere.
    quint64 m_device = 0;
    quint64 m_inode = 0;
};

class PostgresStorage final : public SqlStorage {
public:
    explicit PostgresStorage(StoreLocation location);

protected:
    void openConnection(QSqlDatabase& db) override;
    void configureConnection() override;
    QList<QStringList> migrations() const override;
    QString migrationLockStatement() const override;
    QString pairLockStatement() const override {
        return QStringLiteral("SELECT id FROM users WHERE id IN (?, ?) ORDER BY id FOR UPDATE");
    }
    QString registrationLockStatement() const override;
    QString emailLockStatement() const override;

private:
    StoreLocation m_location;
};

} // namespace chatserver

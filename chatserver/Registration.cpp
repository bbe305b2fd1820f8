// Registration: the checks on what a new user gives, the limits on how many register, and the
// address that becomes the account's only once its owner confirms it from the mailbox.
#include "chatserver/ChatService.h"
#include "chatserver/Confirmations.h"
#include "chatserver/ServiceReplies.h"

namespace chatserver {

using namespace answers;

ChatService::Outcome ChatService::registerUser(const ChatRequest& request, const QString& peer) {
    // user name, computer name, e-mail, display name
    const EmailForm emailForm = normaliseEmail(request.args.value(2));
    const QString& email = emailForm.address;
    const QString displayName = request.args.value(3).trimmed();
    const QString userName = request.args.value(0);
    const QString computerName = request.args.value(1);
    auto refuse = [](const QString& reason, const QString& note) {
        return refused(wire::Code::RegistrationRefused, reason, note);
    };
    if (!emailForm.usable()) // the kept form is lower case: it cannot hold a page marker
        return refuse(QStringLiteral("Registration refused: \"%1\" is not an e-mail address that can be used: %2.")
                          .arg(printable(request.args.value(2).left(kMaxEmailChars)), emailForm.problem),
                      QStringLiteral("bad e-mail"));
    if (displayName.isEmpty() || displayName.size() > wire::kMaxDisplayNameChars ||
        wire::hasControlCharacter(displayName) || holdsPageMarker(displayName))
        return refuse(QStringLiteral("Registration refused: the display name must have 1 to %1 characters.")
                          .arg(wire::kMaxDisplayNameChars),
                      QStringLiteral("bad display name"));
    if (userName.size() > kMaxName || computerName.size() > kMaxName || wire::hasControlCharacter(userName) ||
        wire::hasControlCharacter(computerName))
        return refuse(QStringLiteral("Registration refused: the user or computer name is too long."),
                      QStringLiteral("bad names"));
    const QString address = request.callAddress;
    if (!isAcceptableAddress(address))
        return refuse(QStringLiteral("Registration refused: your internet address could not be read."),
                      QStringLiteral("bad address"));

    const qint64 now = m_clock();
    switch (takeRegistration(peer, now)) {
    case RegistrationQuota::Level::None:
        break;
    case RegistrationQuota::Level::Address:
        return refuse(QStringLiteral("Too many registrations came from your network address. Please try again "
                                     "in an hour."),
                      QStringLiteral("throttled"));
    case RegistrationQuota::Level::Network:
        return refuse(QStringLiteral("Too many registrations came from the network your address is in. Please "
                                     "try again in an hour."),
                      QStringLiteral("network throttled"));
    case RegistrationQuota::Level::Overall:
        return refuse(QStringLiteral("The server takes no more registrations for now. Please try again in an "
                                     "hour."),
                      QStringLiteral("ceiling reached"));
    }

    const ConfirmationSettings& confirmation = m_settings.confirmation;
    const std::optional<UserRecord> holder = m_storage.findUserByEmail(email);
    const bool taken = holder && hasItsAddress(holder->state);
    if (confirmation.enabled &&
        m_storage.pendingFor(email, now - confirmation.lifetimeMs) >= confirmation.mailsPerAddress)
        return refuse(QStringLiteral("A confirmation was mailed to %1 %2 times in the last day already. Please open "
                                     "the latest one, or try again tomorrow.")
                          .arg(email)
                          .arg(confirmation.mailsPerAddress),
                      QStringLiteral("mails to the address used up"));
    // Without mails an address is the account's at once, and one already taken is refused
    // (which tells whether it is taken: only mails can avoid that).
    if (!confirmation.enabled && taken)
        return refuse(QStringLiteral("The e-mail address %1 is already registered.").arg(email),
                      QStringLiteral("e-mail taken"));
    const QString code = newConfirmationCode();
    const std::optional<qint64> id = m_storage.registerUser(
        {email, displayName, userName, computerName, address, peer, now, confirmationCodeHash(code)});
    if (!id) throw StorageError("a pending account was not made");
    QString note = QStringLiteral("registered");
    if (!confirmation.enabled) {
        m_storage.confirm(confirmationCodeHash(code), now);
        m_storage.markToldConfirmed(*id); // nothing to tell: it never waited
    } else if (m_mailer) {
        // Whether the address is taken goes only to the mailbox, never to the caller.
        m_mailer(taken ? addressTakenMail(email, displayName)
                       : confirmationMail(confirmation, email, displayName, code));
        note = QStringLiteral("registered, mail sent");
    }

    // New users are sent straight to where the server is moving, if it is.
    QString serverAddress = m_settings.publicAddress;
    QString serverPort = m_settings.publicPort;
    if (const std::optional<Move> move = m_storage.latestMove()) {
        serverAddress = move->address;
        serverPort = move->port;
    }
    return reply(joined(wire::Code::Register, {}, {serverAddress, serverPort, QString::number(*id), email}), note);
}

RegistrationQuota::Level ChatService::takeRegistration(const QString& peer, qint64 nowMs) {
    const auto window = [](const RateLimit& limit) {
        return RegistrationQuota::Window{limit.enabled() ? int(limit.burst) : 0, limit.periodMs};
    };
    return m_storage.takeRegistration({limitKey(peer), networkKey(peer, m_settings.logIns.prefixes),
                                       window(m_settings.registrations), window(m_settings.networkRegistrations),
                                       window(m_settings.registrationCeiling), nowMs});
}

Confirmation ChatService::confirmAddress(const QString& text) {
    const QString code = confirmationCodeIn(text);
    if (code.isEmpty() || m_storeLost) return {};
    Storage::Transaction transaction(m_storage);
    const Confirmation confirmation =
        m_storage.confirm(confirmationCodeHash(code), m_clock() - m_settings.confirmation.lifetimeMs);
    transaction.commit();
    return confirmation;
}

void ChatService::sweep() {
    if (m_storeLost) return;
    // The longest window a registration limit can have.
    constexpr qint64 kLongestWindowMs = 7 * 86'400'000LL;
    const qint64 now = m_clock();
    Storage::Transaction transaction(m_storage);
    m_storage.forgetRegistrations(now - kLongestWindowMs);
    forgetCallerEvents(now);
    m_storage.dropUnconfirmed(now - m_settings.confirmation.lifetimeMs);
    transaction.commit();
}

} // namespace chatserver

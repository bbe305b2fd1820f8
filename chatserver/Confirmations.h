#pragma once
// An e-mail address belongs to whoever reads its mail. A new account waits until its owner opens
// the link mailed to the address (or the operator runs `confirm` with it): until then nobody finds
// it by the address, and after a day it is dropped. This file holds what the mail, the page behind
// the link and the notice to a waiting account say, and the codes the links carry.
#include "chatserver/net/SmtpClient.h"
#include "chatserver/store/Storage.h"

#include <QString>

namespace chatserver {

struct ConfirmationSettings {
    // Off: an address is the account's as soon as it registers, as before there were mails.
    bool enabled = false;
    // The page the link opens; the code follows as "?code=". Empty: the chat server's own page.
    QString page;
    qint64 lifetimeMs = 86'400'000; // pending accounts older than this are dropped
    int mailsPerAddress = 3;        // confirmation mails to one address within a lifetime
};

// A fresh code: 26 characters of lower-case base32 (130 random bits).
QString newConfirmationCode();
// What the store keeps of a code: its SHA-256, so that reading the store confirms nothing.
QString confirmationCodeHash(const QString& code);
// The code in what a person pastes or a browser asks for: the code alone, a query holding
// "code=", or the whole link. Empty when there is none.
QString confirmationCodeIn(const QString& text);
QString confirmationLink(const ConfirmationSettings& settings, const QString& code);

// The mail asking the owner of `email` to confirm it for the account registered as
// `displayName`; or, when the address is some account's already, the mail saying so (with no
// link: that registration can never have the address).
Mail confirmationMail(const ConfirmationSettings& settings, const QString& email, const QString& displayName,
                      const QString& code);
Mail addressTakenMail(const QString& email, const QString& displayName);

// What the page behind the link (and the operator's command) says about a confirmation.
QString confirmationText(const Confirmation& confirmation);
// The notice a waiting account gets at log-in: its text and title.
QString pendingNoticeText(const QString& email);
inline constexpr char kPendingNoticeTitle[] = "Confirm your e-mail address";
// The notice at the first log-in once the address is confirmed.
QString confirmedNoticeText(const QString& email);
inline constexpr char kConfirmedNoticeTitle[] = "E-mail address confirmed";

} // namespace chatserver

#include "chatserver/Confirmations.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QRegularExpression>

namespace chatserver {

namespace {

constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz234567";
constexpr int kCodeChars = 26;

QString hours(qint64 ms) {
    return QString::number(ms / 3'600'000);
}

} // namespace

QString newConfirmationCode() {
    // Five bits a character, from one draw of the system's generator.
    quint32 bits[kCodeChars * 5 / 32 + 1];
    QRandomGenerator::system()->fillRange(bits);
    QString code;
    code.reserve(kCodeChars);
    for (int i = 0; i < kCodeChars; ++i) {
        const int at = i * 5;
        const quint64 pair =
            quint64(bits[at / 32]) | (at / 32 + 1 < int(std::size(bits)) ? quint64(bits[at / 32 + 1]) << 32 : 0);
        code += QLatin1Char(kAlphabet[(pair >> (at % 32)) & 31]);
    }
    return code;
}

QString confirmationCodeHash(const QString& code) {
    return QString::fromLatin1(QCryptographicHash::hash(code.toLatin1(), QCryptographicHash::Sha256).toHex());
}

QString confirmationCodeIn(const QString& text) {
    static const QRegularExpression code(QStringLiteral("(?:^|[?&=/\\s])([a-z2-7]{26})(?:$|[&#\\s])"));
    const QRegularExpressionMatch match = code.match(text.trimmed());
    return match.hasMatch() ? match.captured(1) : QString();
}

QString confirmationLink(const ConfirmationSettings& settings, const QString& code) {
    return settings.page + QStringLiteral("?code=") + code;
}

Mail confirmationMail(const ConfirmationSettings& settings, const QString& email, const QString& displayName,
                      const QString& code) {
    return {email, QStringLiteral("Confirm your e-mail address for ColloqChat"),
            QStringLiteral("Hello,\n\n"
                           "someone, perhaps you, registered the e-mail address %1 with ColloqChat, under the\n"
                           "name \"%2\". To confirm that the address is yours, open this link:\n\n"
                           "    %3\n\n"
                           "Until it is confirmed, nobody can add the account as a contact by this address, and\n"
                           "an account not confirmed within %4 hours of registering is removed.\n\n"
                           "If you did not register, do nothing: the account is removed by itself, and nobody\n"
                           "will ever find it by your address.\n")
                .arg(email, displayName, confirmationLink(settings, code), hours(settings.lifetimeMs))};
}

Mail addressTakenMail(const QString& email, const QString& displayName) {
    return {email, QStringLiteral("Your e-mail address is registered with ColloqChat already"),
            QStringLiteral("Hello,\n\n"
                           "someone, perhaps you, registered the e-mail address %1 with ColloqChat again, under\n"
                           "the name \"%2\". The address belongs to an account already, so the new registration\n"
                           "cannot have it and is removed by itself within a day; your account stays as it is.\n\n"
                           "If it was you and you have lost the ColloqChat folder that holds your account, ask\n"
                           "the operator of your chat server for help. Otherwise, do nothing.\n")
                .arg(email, displayName)};
}

QString confirmationText(const Confirmation& confirmation) {
    switch (confirmation.outcome) {
    case Confirmation::Outcome::Confirmed:
        return QStringLiteral("Thank you: %1 is confirmed. Your contacts can now add you by it.")
            .arg(confirmation.email);
    case Confirmation::Outcome::AlreadyConfirmed:
        return QStringLiteral("%1 was confirmed already; nothing more to do.").arg(confirmation.email);
    case Confirmation::Outcome::Taken:
        return QStringLiteral("%1 belongs to another account already, so this registration cannot have it. Its "
                              "account is removed by itself within a day.")
            .arg(confirmation.email);
    case Confirmation::Outcome::Unknown:
        break;
    }
    return QStringLiteral("This link is not known here: it was mistyped, or its account was not confirmed within "
                          "a day and has been removed. Start ColloqChat from a fresh folder to register again.");
}

QString confirmedNoticeText(const QString& email) {
    return QStringLiteral("Thank you: your e-mail address %1 is confirmed. Your contacts can now add you by it.")
        .arg(email);
}

QString pendingNoticeText(const QString& email) {
    return QStringLiteral("Please confirm your e-mail address: open the link in the mail sent to %1. Until then "
                          "nobody can add you as a contact, and an account not confirmed within a day of "
                          "registering is removed.")
        .arg(email);
}

} // namespace chatserver

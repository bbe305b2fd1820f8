#include "app/StartupLoader.h"

#include "BuildConfig.h"
#include "app/Registration.h"
#include "app/frmMain.h"
#include "core/ErrorLog.h"
#include "core/SettingsFiles.h"
#include "core/TrustStore.h"
#include "core/Validators.h"
#include "core/basEncrypt_Decrypt.h"
#include "core/basMain.h"
#include "forms/frmRegWait.h"
#include "platform/vb.h"
#include "platform/widgets/Controls.h"
#include "web/WebLookup.h"
#include "wire/Codepage.h"
#include "wire/MessageCodes.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>

namespace basMain {

namespace {

// The web's address first, then the stored one (only when the stored pair is valid), then the
// built-in default; the port comes from the file whenever the stored pair is valid.
void chooseServer(const QStringList* validStoredPair) {
    g_strServerIP = fnGetHomeIP();
    // A redirect read off a plain connection may not lead the client away from a server it has
    // seen encrypted: whoever is on the path could name a server of theirs.
    if (validStoredPair && !g_strServerIP.isEmpty() && g_strServerIP != validStoredPair->at(0) && !g_blnHomeIPSecure &&
        !trust::pinnedCertificate(validStoredPair->join(QLatin1Char(':'))).isEmpty()) {
        fnLogError(QStringLiteral("*** fnFillcall: the redirect to ") + g_strServerIP.left(64) +
                       QStringLiteral(" came over an unauthenticated connection; it was not taken"),
                   false);
        g_strServerIP.clear();
    }
    if (g_strServerIP.isEmpty()) {
        g_strServerIP = validStoredPair ? validStoredPair->at(0) : QStringLiteral(COLLOQ_DEFAULT_SERVER_IP);
    }
    g_strServerPort = validStoredPair ? validStoredPair->at(1) : QStringLiteral("19991");
}

} // namespace

bool g_blnRegistrationCancelled = false;

bool fnFillcall() {
    int step = 0;
    QStringList arrFields;
    g_blnRegistrationCancelled = false;
    try {
        step = 1;
        const QString path = vb::AppPath() + QStringLiteral("/RTC_Chat.kvo");
        step = 3;
        frmRegWait& wait = frmRegWait::get();
        wait.Label1->setText(QStringLiteral("Loading ColloqChat.."));
        wait.show();

        if (!fnFileExists(path)) {
            step = 4;
            chooseServer(nullptr);
            step = 5;
            return fnRegister(arrFields);
        }
        step = 6;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) vb::raise(vb::kErrPathFileAccess);
        step = 7;
        if (file.size() == 0) {
            step = 10;
            file.close();
            chooseServer(nullptr);
            step = 12;
            return fnRegister(arrFields);
        }
        step = 14;
        const QByteArray bytes = file.readAll();
        if (bytes.size() != file.size()) vb::raise(vb::kErrDeviceIO);
        step = 16;
        file.close();
        step = 18;
        QString text = wire::fromCp1252(bytes);
        basEncrypt_Decrypt::DecryptText(text);
        step = 20;
        arrFields = text.split(wire::kSep);
        step = 22;
        QString message;
        switch (arrFields.size()) {
        case 2: {
            step = 24;
            const bool valid = fnCheckIpOrEmailFormat(arrFields, true, message);
            chooseServer(valid ? &arrFields : nullptr);
            step = 26;
            return fnRegister(arrFields);
        }
        case 4: {
            step = 28;
            const bool valid = fnCheckIpOrEmailFormat(arrFields, true, message);
            step = 30;
            chooseServer(valid ? &arrFields : nullptr);
            step = 34;
            if (!fnCheckIpOrEmailFormat(arrFields, false, message)) {
                step = 36;
                return fnRegister(arrFields);
            }
            frmMain* form = frmMain::existing();
            if (!form) vb::raise(vb::kErrObjectNotSet);
            step = 38;
            step = 40;
            form->setIdentity(identityFromFields(arrFields));
            step = 42;
            g_strMsgToSend = wire::request(wire::Code::LogIn, {arrFields.at(2), arrFields.at(3)});
            step = 44;
            return true;
        }
        default:
            chooseServer(nullptr);
            step = 46;
            return fnRegister(arrFields);
        }
    } catch (const std::exception& error) {
        logCaught(QStringLiteral("fnFillcall[") + QString::number(step) + QLatin1Char(']'), error);
        return false;
    }
}

} // namespace basMain

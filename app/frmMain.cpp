// The window's own texts and the user it acts for, which every other part of the window uses.
#include "app/frmMain.h"

#include "BuildConfig.h"

#include <QLineEdit>

frmMain* frmMain::existing() {
    return s_instance;
}

QString frmMain::versionText() {
    return QString::number(COLLOQ_VERSION_MAJOR) + QLatin1Char('.') + QString::number(COLLOQ_VERSION_MINOR) +
           QLatin1Char('.') + QString::number(COLLOQ_VERSION_PATCH);
}

QString frmMain::versionCaption() {
    return QStringLiteral("Internet Chat - Version: ") + versionText();
}

void frmMain::setIdentity(const basMain::Identity& identity) {
    m_identity = identity;
    txtEmail->setText(identity.email);
}

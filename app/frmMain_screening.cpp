// The boxes of the user's two ring settings, kept in their file for the call controller, which
// decides which calls may ring; and what the engine refused before anything rang.
#include "app/CallHelpers.h"
#include "app/CallPathsLink.h"
#include "app/frmMain.h"
#include "call/rtc/CallerOrigin.h"
#include "core/ErrorLog.h"
#include "platform/vb.h"
#include "platform/widgets/ListView.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLayout>

using namespace basMain;

QList<ContactEntry> callengine::contactEntries(const vb::ListView& list) {
    QList<ContactEntry> entries;
    for (int index = 0; index < list.count(); ++index) {
        const vb::ListItem* row = list.itemAt(index);
        entries.append({row->SubItem(1), row->SubItem(2), row->Tag()});
    }
    return entries;
}

void frmMain::setUpCallScreening() {
    chkDoNotDisturb = new QCheckBox(QStringLiteral("Do not disturb"), fraAnsweraCall);
    chkDoNotDisturb->setObjectName(QStringLiteral("chkDoNotDisturb"));
    chkDoNotDisturb->setToolTip(QStringLiteral("No call rings; each one is turned away and listed in the history"));
    chkContactsOnly = new QCheckBox(QStringLiteral("Only my contacts may ring"), fraAnsweraCall);
    chkContactsOnly->setObjectName(QStringLiteral("chkContactsOnly"));
    chkContactsOnly->setToolTip(QStringLiteral("Calls from anybody not in your list are turned away without a ring"));
    fraAnsweraCall->layout()->addWidget(chkDoNotDisturb);
    fraAnsweraCall->layout()->addWidget(chkContactsOnly);
    m_calls->ringPolicy().settings = readRingSettings();
    chkDoNotDisturb->setChecked(m_calls->ringPolicy().settings.doNotDisturb);
    chkContactsOnly->setChecked(m_calls->ringPolicy().settings.contactsOnly);
    connect(chkDoNotDisturb, &QCheckBox::clicked, this, &frmMain::chkRingSettings_Click);
    connect(chkContactsOnly, &QCheckBox::clicked, this, &frmMain::chkRingSettings_Click);
    // A caller on one of the chat server's relays is counted by its whole call address.
    m_calls->setRelayHosts([this] { return m_callPaths ? m_callPaths->relayHosts() : QStringList(); });
}

void frmMain::chkRingSettings_Click() {
    try {
        m_calls->ringPolicy().settings = {chkDoNotDisturb->isChecked(), chkContactsOnly->isChecked()};
        writeRingSettings(m_calls->ringPolicy().settings);
    } catch (const std::exception& error) {
        logCaught(QStringLiteral("chkRingSettings_Click"), error);
    }
}

void frmMain::RequestRefusedEvent(const std::shared_ptr<rtc::IRTCEvent>& pEvent) {
    try {
        const auto event = std::dynamic_pointer_cast<rtc::RequestRefusedEventData>(pEvent);
        if (!event) vb::raise(vb::kErrTypeMismatch);
        // Every refusal is logged: the user may want to know who tried what.
        logCaught(QStringLiteral("RequestRefusedEvent"), vb::VbError(vb::kErrPermissionDenied, event->description()));
        const auto& caller = event->caller();
        if (event->what() != rtc::RequestRefusedEventData::What::Call || !caller) return;
        // A call refused before it rang is kept in the history, under the name it gave, cut.
        const CallerIdentity identity = identifyCaller(
            {caller->get_Name(), caller->get_UserURI(), caller->get_SourceAddress(), caller->get_ContactAddress(), {}},
            callengine::contactEntries(*LstUsers));
        CallActivity refused;
        refused.name = identity.name;
        refused.email = identity.email;
        refused.address = identity.callAddress;
        refused.contact = identity.contact;
        m_calls->record().turnAway(refused, CallActivity::Outcome::Refused);
    } catch (const std::exception& error) {
        logCaught(QStringLiteral("RequestRefusedEvent"), error);
    }
}

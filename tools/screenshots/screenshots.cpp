// Builds the program's windows with sample content, without a chat server or a call engine, and
// saves a picture of each: colloq_screenshots OUTPUT_FOLDER. With --desktop it takes the pictures
// the desktop draws instead (see DesktopShots.h). The pictures are the windows' own
// contents (no frame), so they come out the same on every run with the same fonts.
#include "CallViewShots.h"
#include "DesktopShots.h"
#include "ShotSupport.h"
#include "app/frmMain.h"
#include "call/control/CallPathsLink.h"
#include "call/rtc/CallSecurity.h"
#include "callui/CallSecurityPanel.h"
#include "chatlink/ContactsModel.h"
#include "core/TrustStore.h"
#include "forms/ContactRequestBar.h"
#include "forms/frmMngContacts.h"
#include "forms/frmRegWait.h"
#include "forms/frmRegister.h"
#include "history/CallHistoryView.h"
#include "platform/vb.h"
#include "platform/widgets/Controls.h"
#include "platform/widgets/ListView.h"

#include <QApplication>
#include <QDir>
#include <QGroupBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <exception>
#include <utility>
#include <vector>

// frmMain lets this struct reach its list set-up, which start-up runs against a real server.
struct FrmMainCallAccess {
    static void addColumns(frmMain& form) { form.addUserListColumns(); }
};

namespace {

struct Contact {
    const char* status;
    const char* name;
    const char* email;
    const char* address;
    const char* date;
};

const Contact kContacts[] = {
    {"On", "Bob Miller", "bob.miller@example.com", "192.168.1.23", "12/06/2026 08:14:02"},
    {"On", "Dana Okafor", "dana@example.org", "10.0.0.7", "12/06/2026 08:12:47"},
    {"Off", "Carl Jensen", "carl.jensen@example.net", "", "12/05/2026 19:40:11"},
    {"Off", "Eve Lambert", "eve.lambert@example.com", "", "12/01/2026 10:03:55"},
};

// A morning of calls, reported as the window reports them: {start, seconds to the answer or end,
// seconds in the call, in, outcome, name, e-mail, address, encryption}.
struct PastCall {
    const char* time;
    int ringSeconds;
    int callSeconds;
    bool incoming;
    CallActivity::Outcome outcome;
    const char* name;
    const char* email;
    const char* address;
    int times = 1;             // calls made one after another, a minute apart
    const char* security = ""; // how an answered call was encrypted
};

const PastCall kCalls[] = {
    {"08:02:10", 6, 252, true, CallActivity::Outcome::Answered, "Dana Okafor", "dana@example.org", "10.0.0.7:5060", 1,
     "ZRTP, verified"},
    {"08:31:45", 9, 723, false, CallActivity::Outcome::Answered, "Bob Miller", "bob.miller@example.com",
     "192.168.1.23:5060", 1, "ZRTP"},
    {"09:15:02", 30, 0, false, CallActivity::Outcome::Failed, "Eve Lambert", "eve.lambert@example.com",
     "203.0.113.9:5060"},
    {"10:47:30", 40, 0, true, CallActivity::Outcome::Missed, "Carl Jensen", "carl.jensen@example.net",
     "198.51.100.4:5060"},
    {"11:05:12", 4, 0, true, CallActivity::Outcome::Declined, "Unknown caller: sales", "sip:198.51.100.77:5060",
     "198.51.100.77:5060"},
    // A stranger who kept calling, a minute apart: refused without a ring, its calls in one row.
    {"11:20:01", 0, 0, true, CallActivity::Outcome::Refused, "Unknown caller: Prize Desk", "sip:198.51.100.23:5070",
     "198.51.100.23:5070", 3},
    {"11:52:40", 25, 0, true, CallActivity::Outcome::Missed, "Dana Okafor", "dana@example.org", "10.0.0.7:5062"},
};

void reportCalls(frmMain& form) {
    QDateTime now;
    vb::setClockForTesting([&now] { return now; });
    quint64 serial = 0;
    for (const PastCall& past : kCalls)
        for (int time = 0; time < past.times; ++time) {
            CallActivity call{++serial,
                              past.incoming ? CallActivity::Phase::Ringing : CallActivity::Phase::Placing,
                              past.outcome,
                              past.incoming,
                              QString::fromLatin1(past.name),
                              QString::fromLatin1(past.email),
                              QString::fromLatin1(past.address),
                              false,
                              QString::fromLatin1(past.security)};
            now = QDateTime(QDate(2026, 12, 6), QTime::fromString(QString::fromLatin1(past.time)))
                      .addSecs(qint64{60} * time);
            emit form.callActivity(call);
            now = now.addSecs(past.ringSeconds);
            if (past.callSeconds > 0) {
                call.phase = CallActivity::Phase::Connected;
                emit form.callActivity(call);
                now = now.addSecs(past.callSeconds);
            }
            call.phase = CallActivity::Phase::Ended;
            emit form.callActivity(call);
        }
    vb::setClockForTesting({});
}

bool mainWindow(const QString& folder, frmMain& form) {
    form.setWindowTitle(QStringLiteral("Internet Chat - Ver: ") + frmMain::versionText() +
                        QStringLiteral(" My Internet IP: 192.168.1.20:5060"));
    form.setIdentity({.userId = QStringLiteral("42"), .email = QStringLiteral("ann.walker@example.com")});
    form.show();
    QApplication::processEvents();
    FrmMainCallAccess::addColumns(form);
    form.LstUsers->setSortOrder(vb::ListView::Descending);
    form.LstUsers->setSortKey(0);
    form.LstUsers->setSorted(true);
    for (const Contact& contact : kContacts) {
        vb::ListItem* row = form.LstUsers->add(QString::fromLatin1(contact.status));
        row->setSubItem(1, QString::fromLatin1(contact.name));
        row->setSubItem(2, QString::fromLatin1(contact.email));
        row->setSubItem(3, QString::fromLatin1(contact.address));
        row->setSubItem(4, QString::fromLatin1(contact.date));
        form.LstUsers->setKey(row, QString::fromLatin1(contact.email));
        row->setForeColor(row->Text() == QStringLiteral("On") ? vb::vbBlack : vb::vbRed);
    }
    // As after a click on the first contact.
    form.LstUsers->setCurrentItem(form.LstUsers->itemAt(0));
    form.LstUsers->itemAt(0)->setSelected(true);
    form.cmdConnect->setEnabled(true);
    form.cmdAnswer->setEnabled(false);
    form.cmdTerminate->setEnabled(false);
    form.fraStatus->setTitle(QStringLiteral("Status: IDLE"));
    form.txtStatus->setPlainText(QStringLiteral("RTCClient is initialized and ready to make/receive calls."));
    reportCalls(form);
    bool ok = saveWindow(form, folder, "main-calls.png");
    // In a call whose media the TURN server relays, the client reached through the call relay.
    const QString title = form.windowTitle();
    form.setWindowTitle(QStringLiteral("Internet Chat - Ver: ") + frmMain::versionText() +
                        QStringLiteral(" My Internet IP: 203.0.113.12:20417"));
    form.fraStatus->setTitle(QStringLiteral("Status: CONNECTED User: Bob Miller    192.168.1.23"));
    vb::setForeColor(*form.txtStatus, vb::vbBlue);
    form.txtStatus->setPlainText(callcontrol::CallPathsLink::mediaPathText(rtc::MEDIAPATH_RELAYED));
    ok = saveWindow(form, folder, "main-call-path.png") && ok;
    form.setWindowTitle(title);
    form.fraStatus->setTitle(QStringLiteral("Status: IDLE"));
    // After an outage: nobody could tell who was on line, and the chat server answers again.
    std::vector<std::pair<vb::ListItem*, QString>> states;
    states.reserve(static_cast<std::size_t>(form.LstUsers->rows().count()));
    for (int index = 0; index < form.LstUsers->rows().count(); ++index)
        states.emplace_back(form.LstUsers->itemAt(index), form.LstUsers->itemAt(index)->Text());
    static_cast<chatlink::ContactsModel&>(form.LstUsers->rows()).markAllUnknown();
    vb::setForeColor(*form.txtStatus, vb::vbBlack);
    form.txtStatus->setPlainText(QStringLiteral("The chat server answers again."));
    form.cmdBackToServer->show();
    ok = saveWindow(form, folder, "main-server-back.png") && ok;
    form.cmdBackToServer->hide();
    for (const auto& [row, text] : states) {
        row->setText(text);
        row->setForeColor(text == QStringLiteral("On") ? vb::vbBlack : vb::vbRed);
    }
    form.txtStatus->setPlainText(QStringLiteral("RTCClient is initialized and ready to make/receive calls."));
    form.SSTab1->setCurrentIndex(1);
    ok = saveWindow(form, folder, "main-tools.png") && ok;
    form.SSTab1->setCurrentIndex(2);
    form.viewHistory->lstHistory->setCurrentItem(form.viewHistory->lstHistory->topLevelItem(0));
    ok = saveWindow(form, folder, "main-history.png") && ok;
    form.SSTab1->setCurrentIndex(0);
    return ok;
}

// A call's session as the engine would hand it over, telling the security it is given.
class ShownSession final : public rtc::IRTCSession2, public rtc::IRTCSessionSecurity {
public:
    std::shared_ptr<rtc::IRTCParticipant> AddParticipant(const QString&, const QString&) override { return {}; }
    void RemoveParticipant(const std::shared_ptr<rtc::IRTCParticipant>&) override {}
    void Answer() override {}
    void Terminate(long) override {}
    long get_State() const override { return rtc::RTCSS_CONNECTED; }
    std::shared_ptr<rtc::IRTCClient2> get_Client() const override { return {}; }
    std::shared_ptr<rtc::IRTCCollection> get_Participants() const override { return {}; }
    rtc::CallSecurity get_Security() const override { return {}; }
    void put_SasVerified(bool) override {}
};

// A call with Bob, encrypted: the code to read aloud; then, another day, a key that changed.
bool encryptedCall(const QString& folder, frmMain& form) {
    const QString bob = QStringLiteral("bob.miller@example.com");
    form.fraStatus->setTitle(QStringLiteral("Status: CONNECTED User: Bob Miller    ") + bob);
    vb::setForeColor(*form.txtStatus, vb::vbBlue);
    form.txtStatus->setPlainText(
        QStringLiteral("Media started: audio send, audio receive, video send, video receive."));
    form.cmdConnect->setEnabled(false);
    form.cmdTerminate->setEnabled(true);
    auto session = std::make_shared<ShownSession>();
    form.panelSecurity->callConnected(session, QStringLiteral("Bob Miller"), bob);
    form.panelSecurity->securityChanged(session, {rtc::MediaProtection::Zrtp, QStringLiteral("k7qz"), false});
    bool ok = saveWindow(form, folder, "call-encrypted.png");
    trust::setContactVerified(bob, true);
    auto later = std::make_shared<ShownSession>();
    form.panelSecurity->callConnected(later, QStringLiteral("Bob Miller"), bob);
    form.panelSecurity->securityChanged(later, {rtc::MediaProtection::Zrtp, QStringLiteral("m3ta"), false});
    ok = saveWindow(form, folder, "call-key-changed.png") && ok;
    trust::setContactVerified(bob, false);
    form.panelSecurity->callStarting();
    return ok;
}

bool registration(const QString& folder) {
    frmRegister form;
    form.txtDisplayNM->setText(QStringLiteral("Ann Walker"));
    form.txtEmail->setText(QStringLiteral("ann.walker@example.com"));
    return saveWindow(form, folder, "register.png");
}

bool waitWindow(const QString& folder) {
    frmRegWait& wait = frmRegWait::get();
    wait.Timer1->stop(); // the moving text would make every picture different
    const bool ok = saveWindow(wait, folder, "wait.png");
    frmRegWait::unload();
    return ok;
}

// A contact who has not added Ann back, tried with Connect, and a user asking Ann to add them.
bool contactRequests(const QString& folder, frmMain& form) {
    form.fraStatus->setTitle(QStringLiteral("Status: IDLE"));
    auto& contacts = static_cast<chatlink::ContactsModel&>(form.LstUsers->rows());
    contacts.showWaiting(QStringLiteral("9001"), QStringLiteral("frank.moreau@example.com"));
    contacts.sortByStatus();
    form.LstUsers->setCurrentItem(contacts.item(QStringLiteral("A9001")));
    form.cmdConnect_Click();
    form.findChild<ContactRequestBar*>()->offer(
        {{wire::ContactRequestEntry::Kind::Asking, QStringLiteral("77"), QStringLiteral("Grace Chen"),
          QStringLiteral("grace.chen@example.org")},
         {wire::ContactRequestEntry::Kind::Asking, QStringLiteral("78"), QStringLiteral("Hugo Brandt"),
          QStringLiteral("hugo@example.net")}});
    return saveWindow(form, folder, "main-contact-request.png");
}

bool contactsManager(const QString& folder, const frmMain& main) {
    frmMngContacts form(*main.LstUsers, main.identity().email);
    form.txtEmail->setText(QStringLiteral("frank.moreau@example.com"));
    bool ok = saveWindow(form, folder, "contacts-add.png");
    form.SSTab1->setCurrentIndex(1);
    form.LstContacts_ItemClick(form.LstContacts->itemAt(2));
    ok = saveWindow(form, folder, "contacts-remove.png") && ok;
    // What came of it, told in the manager: a refusal of the server's, then an addition.
    form.setSender([](const QString&) {});
    form.SSTab1->setCurrentIndex(0);
    form.txtEmail->setText(QStringLiteral("ivan.petrov@example.com"));
    form.cmdAddCont->click();
    form.changeRefused(QStringLiteral("Your contact list is full."));
    ok = saveWindow(form, folder, "contacts-add-failed.png") && ok;
    form.txtEmail->setText(QStringLiteral("grace.chen@example.org"));
    form.cmdAddCont->click();
    form.changeDone(*main.LstUsers, {});
    ok = saveWindow(form, folder, "contacts-added.png") && ok;
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const bool desktopShots = argc == 3 && QByteArray(argv[1]) == "--desktop";
    if (argc != 2 && !desktopShots) {
        std::fputs("usage: colloq_screenshots [--desktop] OUTPUT_FOLDER\n", stderr);
        return 2;
    }
    try {
        const QString folder = QString::fromLocal8Bit(argv[argc - 1]);
        if (!QDir().mkpath(folder)) return 1;
        // The window keeps its call history beside it: a fresh one, so the pictures show only
        // the sample calls.
        QTemporaryDir programFolder;
        if (!programFolder.isValid()) return 1;
        vb::setAppPathForTesting(programFolder.path());
        if (desktopShots) return desktopPictures(folder) ? 0 : 1;
        frmMain form;
        bool ok = mainWindow(folder, form);
        ok = encryptedCall(folder, form) && ok;
        ok = callViewPictures(form, folder) && ok;
        ok = registration(folder) && ok;
        ok = waitWindow(folder) && ok;
        ok = contactRequests(folder, form) && ok;
        ok = contactsManager(folder, form) && ok;
        return ok ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "colloq_screenshots: %s\n", error.what());
        return 1;
    }
}

#pragma once
// The main window. One class, its members in one file per part; a part calls only the parts
// listed under it, so that each can be read without the ones above:
//   frmMain_lifecycle.cpp      makes the parts and wires them together; start-up and shutdown
//   frmMain_layout.cpp         the controls and their arrangement
//   frmMain_rtc.cpp            the call engine's set-up and the routing of its events
//   _calls, _status, _desktop  calls; the engine's other events; the tray and notifications
//   _contacts, _security       contacts; encryption of the calls and of the chat link
//   frmMain_chatlink.cpp       what the chat link reports, the polls, the user list
//   frmMain.cpp                the window's texts and its user
// The libraries below never reach for the window: it installs what they need (the status sink of
// the error log, the reply target, the web fetch and its socket) and takes it back when it goes.
#include "call/control/CallController.h"
#include "call/rtc/Rtc.h"
#include "chatlink/ChatProtocol.h"
#include "core/CallActivity.h"
#include "core/Identity.h"
#include "core/RingPolicy.h"
#include "platform/widgets/ListView.h"
#include "wire/Protocol.h" // the field separator, which users of the window use too

#include <QWidget>
#include <memory>
#include <optional>
#include <vector>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSlider;
class QTabWidget;
class QTimer;
class KVOSocket;
class CallSecurityPanel;
class CallSecurityControls;
class QCloseEvent;
namespace desktop {
class CallDesktop;
class SessionEnd;
} // namespace desktop
class ContactRequestBar;
class CallStatusBar;
class CallButtons;
class CallView;
class MediaControls;
class VideoCaptions;
namespace chatlink {
class ChatLink;
}
namespace callcontrol {
class CallPathsLink;
}
namespace basMain {
class PinnedServers;
class PinnedWebHosts;
} // namespace basMain
namespace history {
class CallHistoryView;
}

class frmMain : public QWidget {
    Q_OBJECT
public:
    explicit frmMain(QWidget* parent = nullptr);
    ~frmMain() override;

    // The one main window of the program, or nullptr while none exists.
    static frmMain* existing();

    // Start-up and shutdown.
    void Form_Load();
    void fnInitForm();
    void Form_QueryUnload(int& Cancel, int UnloadMode);
    void Form_Unload(int& Cancel);
    // "Unload frmMain": runs both closing handlers once and closes the window.
    void unloadForm();
    bool isUnloaded() const { return m_unloaded; }

    // ---- Controls, named as the program names them (each also carries its objectName). ----
    QTabWidget* SSTab1 = nullptr;
    QCheckBox* chkStayOnTop = nullptr;
    QWidget* picVideoS = nullptr;
    QWidget* picVideoR = nullptr;
    QLabel* lblSendVideo = nullptr;
    QLabel* lblReceiveVideo = nullptr;
    // Tab "Make Calls".
    QLabel* lblChatUser = nullptr;
    QGroupBox* fraInitaCall = nullptr;
    vb::ListView* LstUsers = nullptr;
    QGroupBox* fraVolume = nullptr;
    QSlider* sldMike = nullptr;
    QSlider* sldSpiker = nullptr;
    QCheckBox* chkMuteMike = nullptr;
    QCheckBox* chkMuteSpiker = nullptr;
    QGroupBox* fraAnsweraCall = nullptr;
    QPushButton* cmdAnswer = nullptr;
    QCheckBox* chkAutoAnswer = nullptr;
    QCheckBox* chkDoNotDisturb = nullptr; // no call rings; each is turned away and kept in the history
    QCheckBox* chkContactsOnly = nullptr; // "Only my contacts may ring"
    QPushButton* cmdConnect = nullptr;
    QPushButton* cmdTerminate = nullptr;
    QPushButton* cmdRefresh = nullptr; // also F5: asks now who is on line
    QGroupBox* fraStatus = nullptr;
    QPlainTextEdit* txtStatus = nullptr;
    // Under the status box, once the chat server answers again after an outage: one click and
    // every request goes to it again (contacts can be managed again).
    QPushButton* cmdBackToServer = nullptr;
    QLineEdit* txtEmail = nullptr; // shows the user's e-mail address
    // Who the user is (ID, e-mail, display name, chat server); the e-mail box shows it.
    const basMain::Identity& identity() const { return m_identity; }
    void setIdentity(const basMain::Identity& identity);
    // Tab "Tools/Tuning/Manage Contacts".
    QGroupBox* fraCallOptions = nullptr;
    QGroupBox* fraSend = nullptr;
    QGroupBox* fraReceive = nullptr;
    QCheckBox* chkOptions[6] = {};
    QGroupBox* fraWizard = nullptr;
    QPushButton* cmdWizard = nullptr;
    QPushButton* cmdManageContacts = nullptr;
    QCheckBox* chkEncryptedOnly = nullptr; // calls that cannot be encrypted are refused
    QPushButton* cmdNewId = nullptr;       // moves the account to a new ID
    // Under the status box: how the call in progress is encrypted.
    CallSecurityPanel* panelSecurity = nullptr;
    // Under the status box: the call's timer and quality, and whether this machine has no
    // microphone or speaker.
    CallStatusBar* barCallStatus = nullptr;
    // On the picture boxes: whose picture each is, and when none comes from the other party.
    VideoCaptions* captionsVideo = nullptr;
    // Tab "History": every call in or out; the tab's title counts the missed calls not yet seen.
    history::CallHistoryView* viewHistory = nullptr;
    // ---- The desktop (frmMain_desktop.cpp): tray, notifications, closing to the tray. ----
    // Tab "Tools/...", box "Desktop": closing the window quits (else it goes to the tray), and
    // the program starts at login.
    QGroupBox* fraDesktop = nullptr;
    QCheckBox* chkQuitOnClose = nullptr;
    QCheckBox* chkStartAtLogin = nullptr;
    desktop::CallDesktop& desktopCalls() { return *m_desktop; }
    // Quit in the tray's menu, or the end of the session: signs off and quits, hidden or not.
    void quitFromDesktop();
    // From now on SIGTERM, SIGHUP and SIGINT quit as quitFromDesktop does.
    void quitOnSessionEnd();

private:
    void setUpDesktop();
    // A close the tray takes instead: the window hides (telling the user so the first time).
    bool hidesToTray(QCloseEvent* event);
    void showFromDesktop();
    desktop::CallDesktop* m_desktop = nullptr;
    desktop::SessionEnd* m_sessionEnd = nullptr;
    bool m_quitAsked = false;

public:
    // Timers, all disabled until the program starts them.
    QTimer* tmrServerCall = nullptr;
    QTimer* tmrUpdateUserOnLine = nullptr;
    QTimer* tmrRegistration = nullptr;

    // ---- Sockets ----
    // The chat link owns the chat socket (oMySocket); the web socket is the window's.
    chatlink::ChatLink& chatLink() { return *m_link; }
    std::unique_ptr<KVOSocket> oMySocketWeb;

    // The chat socket; raises 91 once it has been released.
    KVOSocket& chatSocket();
    // Creates both sockets and wires their events as start-up does, for tests that do not run
    // fnInitForm.
    void createSocketsForTesting();

    // ---- Call engine state ----
    std::shared_ptr<rtc::IRTCClient2> g_objRTCClient;
    bool g_objRTCClientWithEvents = false; // true once the event sink is attached
    std::shared_ptr<rtc::IVideoWindow> g_objVideoPreview;
    std::shared_ptr<rtc::IVideoWindow> g_objVideoReceive;
    // The calls: the one in progress, the incoming ones under way, the ringing and the record.
    callcontrol::CallController& calls() { return *m_calls; }

private:
    callcontrol::CallController* m_calls; // made before the three below, which name its state
    callcontrol::CallController* makeCallController();

public:
    // The call controller's state under the names the window's handlers use.
    std::shared_ptr<rtc::IRTCSession2>& g_objSession;
    bool& g_blnCallConnected;
    qint16& g_intIncomingCount;
    // Rings an incoming call and tells how the ringing ended; its session() is the call that
    // rings now (it becomes g_objSession once answered).
    callcontrol::CallRinger& ringer() { return m_calls->ringer(); }

    // ---- Call engine handlers ----
    void g_objRTCClientWithEvents_Event(long RTCEvent, const std::shared_ptr<rtc::IRTCEvent>& pEvent);
    void ClientEvent(const std::shared_ptr<rtc::IRTCEvent>& pEvent);
    void SessionStateEvent(const std::shared_ptr<rtc::IRTCEvent>& pEvent);
    void Receive_Event(long& RTCEvent, const std::shared_ptr<rtc::IRTCEvent>& pEvent);
    void cmdConnect_Click();
    void cmdAnswer_Click();
    void cmdTerminate_Click();
    void tmrRegistration_Timer();

    // ---- Chat link handlers ----
    void LstUsers_ColumnClick(int ColumnHeaderIndex);
    void LstUsers_ItemClick(vb::ListItem* Item);
    void cmdManageContacts_Click();
    // Sends the on-line poll now, once in kRefreshPauseMs at most.
    void cmdRefresh_Click();
    static constexpr int kRefreshPauseMs = 10000;
    // The on-line poll as tmrUpdateUserOnLine sends it; `step` follows that timer's step numbers.
    void pollUsersOnLine(int& step);
    void cmdBackToServer_Click();
    // Sends a request to the chat server on an exchange of its own (see chatlink::ChatLink::send).
    void sendChatRequest(const QString& request);
    // The title with the call address others reach us at (g_strMyWanIP).
    void showCallAddress();
    // Request 40 and what follows it (see CallPathsLink).
    callcontrol::CallPathsLink* m_callPaths = nullptr;
    // Calls back the party of a call in the history, as Connect calls a contact.
    void callBack(const QString& name, const QString& email, const QString& address);

    QTimer* m_refreshPause = nullptr;

    // Caption prefix with the program's version, "Internet Chat - Version: 1.0.0".
    static QString versionCaption();
    // "major.minor.revision" of the program.
    static QString versionText();

signals:
    // Every call from its ring or its placing to its end (see CallActivity).
    void callActivity(const CallActivity& activity);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    static inline frmMain* s_instance = nullptr;
    friend struct FrmMainCallAccess; // tests of the call engine reach its private set-up
    void buildLayout();
    void addHistoryTab();
    void addSecurityControls();
    // What the user sees of a call beside the engine's own words: the timer, the quality, the
    // names on the pictures and how the last call ended.
    CallView* m_callView = nullptr;
    void showCallActivity(const CallActivity& activity);
    // The call controls the window builds, as the objects that act on the engine and the calls:
    // the media options, volume, Mute, the wizard and stay-on-top; the encryption panel and
    // "Encrypted calls only"; Connect, Answer, Terminate and what a call puts out of reach.
    MediaControls* m_media = nullptr;
    CallSecurityControls* m_security = nullptr;
    CallButtons* m_buttons = nullptr;
    // The chat socket goes TLS first, trusting the keys the client has pinned (frmMain_security.cpp).
    void secureChatLink();
    std::unique_ptr<basMain::PinnedServers> m_serverKeys;
    std::unique_ptr<basMain::PinnedWebHosts> m_webKeys;
    // What the user was told of a server taken in the clear; start-up shows it again at its end,
    // where its own status texts would have hidden it.
    QString m_linkNotice;
    void showLinkNotice();
    void setUpChatQueue();
    // Who Connect calls: the selected row's name, e-mail and call address (the row's tag).
    using CallTarget = callcontrol::CallTarget;
    void placeCall(const std::optional<CallTarget>& target);
    void connectHandlers();
    void attachSockets();
    // Runs Form_QueryUnload and Form_Unload once; false for a close request that arrives while
    // the first one is still signing off.
    bool runUnload();
    void releaseSocket(std::unique_ptr<KVOSocket>& socket);
    // Steps 11 to 175 of fnInitForm: create and set up the RTC client and choose the call
    // address. `step` tracks fnInitForm's step number for its error report; failures throw.
    void fnInitRTCClient(int& step);
    // The column widths of the user list follow its width.
    void addUserListColumns();
    void sizeUserListColumns();
    bool eventFilter(QObject* watched, QEvent* event) override;

    chatlink::ChatLink* m_link = nullptr;
    // Contacts: the manager's requests and what came of them, and the users asking to be added
    // back (frmMain_contacts.cpp).
    ContactRequestBar* m_requestBar = nullptr;
    void setUpContactRequests();
    void sendContactChange(const QString& answer);
    void addContact(const QString& email);
    // A row that does not list the user back cannot be called: the status box says so (true).
    bool refuseWaitingContact(const vb::ListItem& row);
    void setUpRinging();
    // What the window shows of a session's state (see CallController::stateShown).
    void showCallState(long state, const QString& caption);
    // What the window shows of the link's events.
    void connectChatLink();
    // The controls the chat server's replies change, as the reply handler is given them.
    basMain::ReplyTarget m_replyTarget;
    basMain::Identity m_identity;
    // The ring settings read and their boxes added.
    void setUpCallScreening();
    bool m_unloaded = false;
    bool m_inUnload = false;
};

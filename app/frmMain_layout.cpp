// The controls of the main window and their arrangement.
#include "app/frmMain.h"

#include "callui/CallView.h"
#include "callui/MediaControls.h"
#include "chatlink/ContactsModel.h"
#include "history/CallHistoryView.h"
#include "platform/vb.h"

#include <QCheckBox>
#include <QEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

namespace {

template <class Control> Control* named(Control* control, const char* name) {
    control->setObjectName(QString::fromLatin1(name));
    return control;
}

QPushButton* button(QWidget* parent, const char* name, const QString& caption, const QString& tip) {
    auto* b = named(new QPushButton(caption, parent), name);
    b->setToolTip(tip);
    return b;
}

// A picture box the call engine renders video into: a plain native child window with a dark
// background, the size of the video the engine places in it.
QWidget* pictureBox(QWidget* parent, const char* name) {
    auto* box = named(new QWidget(parent), name);
    box->setFixedSize(234, 184);
    box->setAutoFillBackground(true);
    QPalette palette = box->palette();
    palette.setColor(QPalette::Window, QColor(0x20, 0x24, 0x2a));
    box->setPalette(palette);
    box->setAttribute(Qt::WA_NativeWindow);
    return box;
}

} // namespace

void frmMain::buildLayout() {
    SSTab1 = named(new QTabWidget(this), "SSTab1");

    // Tab "Make Calls".
    auto* callsTab = new QWidget;
    lblChatUser = named(new QLabel(QStringLiteral("Chat User:"), callsTab), "lblChatUser");
    txtEmail = named(new QLineEdit(callsTab), "txtEmail");
    txtEmail->setReadOnly(true);
    fraInitaCall = named(new QGroupBox(QStringLiteral("Select a Call:"), callsTab), "fraInitaCall");
    LstUsers = named(new vb::ListView(fraInitaCall), "LstUsers");
    LstUsers->setMinimumSize(420, 170);
    (new QVBoxLayout(fraInitaCall))->addWidget(LstUsers);

    const MediaControls::VolumeBox volume = MediaControls::buildVolumeBox(callsTab);
    fraVolume = volume.frame;
    sldMike = volume.mike;
    sldSpiker = volume.speaker;
    chkMuteMike = volume.muteMike;
    chkMuteSpiker = volume.muteSpeaker;

    fraAnsweraCall = named(new QGroupBox(QStringLiteral("Answer"), callsTab), "fraAnsweraCall");
    cmdAnswer = button(fraAnsweraCall, "cmdAnswer", QStringLiteral("&Manual"),
                       QStringLiteral("Press to answer incoming calls"));
    chkAutoAnswer = named(new QCheckBox(QStringLiteral("Auto"), fraAnsweraCall), "chkAutoAnswer");
    chkAutoAnswer->setToolTip(QStringLiteral("Mark for automatic call answer"));
    auto* answerBox = new QVBoxLayout(fraAnsweraCall);
    answerBox->addWidget(cmdAnswer);
    answerBox->addWidget(chkAutoAnswer);

    cmdConnect =
        button(callsTab, "cmdConnect", QStringLiteral("&Connect"), QStringLiteral("Press to initiate the session"));
    cmdTerminate = button(callsTab, "cmdTerminate", QStringLiteral("&Terminate"),
                          QStringLiteral("Press to terminate the session"));
    cmdConnect->setEnabled(false);
    cmdRefresh = button(callsTab, "cmdRefresh", QStringLiteral("&Refresh"),
                        QStringLiteral("Press (or F5) to ask the server now who is on line"));
    auto* callButtons = new QVBoxLayout;
    callButtons->addWidget(cmdConnect);
    callButtons->addWidget(cmdTerminate);
    callButtons->addWidget(cmdRefresh);
    callButtons->addStretch();

    fraStatus = named(new QGroupBox(QStringLiteral("Status"), callsTab), "fraStatus");
    txtStatus = named(new QPlainTextEdit(fraStatus), "txtStatus");
    txtStatus->setReadOnly(true);
    txtStatus->setMinimumHeight(64);
    txtStatus->setMaximumHeight(96);
    (new QVBoxLayout(fraStatus))->addWidget(txtStatus);

    auto* userRow = new QHBoxLayout;
    userRow->addWidget(lblChatUser);
    userRow->addWidget(txtEmail, 1);
    auto* controlsRow = new QHBoxLayout;
    controlsRow->addWidget(fraVolume, 3);
    controlsRow->addWidget(fraAnsweraCall, 1);
    controlsRow->addLayout(callButtons);
    auto* callsLayout = new QVBoxLayout(callsTab);
    callsLayout->addLayout(userRow);
    callsLayout->addWidget(fraInitaCall, 1);
    callsLayout->addLayout(controlsRow);
    callsLayout->addWidget(fraStatus);
    SSTab1->addTab(callsTab, QStringLiteral("Make Calls"));

    // Tab "Tools/Tuning/Manage Contacts".
    auto* toolsTab = new QWidget;
    const MediaControls::OptionsBox options = MediaControls::buildOptionsBox(toolsTab, chkOptions);
    fraCallOptions = options.frame;
    fraSend = options.send;
    fraReceive = options.receive;

    fraWizard = named(new QGroupBox(QStringLiteral("Audio and Video Tuning"), toolsTab), "fraWizard");
    cmdWizard = button(fraWizard, "cmdWizard", QStringLiteral("&Wizard"),
                       QStringLiteral("Press to invoke the audio/video wizard"));
    (new QHBoxLayout(fraWizard))->addWidget(cmdWizard);
    cmdManageContacts = named(new QPushButton(QStringLiteral("Manage Contacts"), toolsTab), "cmdManageContacts");
    auto* toolsLayout = new QVBoxLayout(toolsTab);
    toolsLayout->addWidget(fraCallOptions);
    toolsLayout->addWidget(fraWizard);
    toolsLayout->addWidget(cmdManageContacts);
    toolsLayout->addStretch();
    SSTab1->addTab(toolsTab, QStringLiteral("Tools/Tuning/Manage Contacts"));
    addHistoryTab();
    addSecurityControls();

    // Beside the tabs: stay-on-top and the two video pictures.
    chkStayOnTop = named(new QCheckBox(QStringLiteral("Stay On Top"), this), "chkStayOnTop");
    lblSendVideo = named(new QLabel(QStringLiteral("Send Video"), this), "lblSendVideo");
    picVideoS = pictureBox(this, "picVideoS");
    lblReceiveVideo = named(new QLabel(QStringLiteral("Reveive Video"), this), "lblReceiveVideo");
    picVideoR = pictureBox(this, "picVideoR");
    auto* side = new QVBoxLayout;
    side->addWidget(chkStayOnTop);
    side->addWidget(lblSendVideo);
    side->addWidget(picVideoS);
    side->addWidget(lblReceiveVideo);
    side->addWidget(picVideoR);
    side->addStretch();

    auto* main = new QHBoxLayout(this);
    main->addWidget(SSTab1, 1);
    main->addLayout(side);
    m_callView = new CallView(fraStatus, picVideoS, picVideoR, *m_calls, this);
    barCallStatus = m_callView->statusBar();
    captionsVideo = m_callView->captions();
    // Wide enough for the five columns of the user list with an e-mail address and a date.
    resize(940, 540);
}

void frmMain::addHistoryTab() {
    // Every call in or out; a double-click calls the row's party back.
    viewHistory = new history::CallHistoryView;
    viewHistory->addTo(*SSTab1, vb::AppPath() + QStringLiteral("/CallHistory.sqlite"));
    connect(this, &frmMain::callActivity, viewHistory, &history::CallHistoryView::record);
    connect(viewHistory, &history::CallHistoryView::callBackRequested, this, &frmMain::callBack);
}

void frmMain::addUserListColumns() {
    LstUsers->addColumns(chatlink::ContactsModel::columnCaptions(), 0);
    LstUsers->header()->setStretchLastSection(false);
    // The window is still hidden here and the list has no width of its own yet: the widths are
    // set once, when it first shows.
    if (LstUsers->isVisible())
        sizeUserListColumns();
    else
        LstUsers->installEventFilter(this);
}

void frmMain::sizeUserListColumns() {
    // "Status" takes 3/24 of the list's width W and the other four 9/32 each: 1.25 W together,
    // so the list scrolls sideways to its last column. W is read again for each column.
    LstUsers->setColumnWidth(0, static_cast<int>(LstUsers->width() / 24.0 * 3));
    for (int column = 1; column < 5; ++column)
        LstUsers->setColumnWidth(column, static_cast<int>(LstUsers->width() / 32.0 * 9));
}

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == LstUsers && event->type() == QEvent::Show) {
        LstUsers->removeEventFilter(this);
        // Once the window's layout has given the list its place on screen.
        QMetaObject::invokeMethod(this, &frmMain::sizeUserListColumns, Qt::QueuedConnection);
    }
    return QWidget::eventFilter(watched, event);
}

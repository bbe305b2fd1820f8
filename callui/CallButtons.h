#pragma once
// The window's controls through the life of a call: while one rings, is being placed or runs, the
// user list, Connect, the contacts manager and the media options are out of reach and the chat
// server's calls wait; Answer and Terminate are within reach as the call allows. Once the call is
// over everything comes back.
#include <QObject>

class QCheckBox;
class QGroupBox;
class QPushButton;
class QTimer;
namespace vb {
class ListView;
}

class CallButtons final : public QObject {
public:
    struct Controls {
        QPushButton* connect;
        QPushButton* answer;
        QPushButton* terminate;
        QPushButton* wizard;
        QPushButton* manageContacts;
        QCheckBox* echoCancel;
        QGroupBox* send;
        QGroupBox* receive;
        vb::ListView* users;
        QTimer* serverCall;
        QTimer* answerTimeout; // runs from the answer of a call until it connects
    };
    CallButtons(const Controls& controls, QObject* parent);

    // An incoming call starts ringing: it can be answered or refused, little else.
    void ringing();
    // A session's new state (RTC_SESSION_STATE).
    void stateChanged(long state);
    // The call is over and its session gone.
    void released();

private:
    void lock();

    Controls m_controls;
};

#pragma once
// The contacts manager: add a contact by e-mail address or pick one to remove. It only checks
// and answers through basMain::g_strDialogResult ("A" + "Ô" + e-mail, "R" + "Ô" + row key, or
// empty); the main window sends the request. Given a sender, the manager stays open while the
// request goes, and tells in its own window what became of it.
#include <QDialog>
#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace vb {
class ListView;
class ListItem;
} // namespace vb
namespace chatlink {
class ChatLink;
}

class frmMngContacts : public QDialog {
    Q_OBJECT
public:
    // `users` is the main window's user list, copied into the removal tab; `ownEmail` the user's
    // own address, which cannot be added.
    frmMngContacts(const vb::ListView& users, const QString& ownEmail, QWidget* parent = nullptr);

    void txtEmail_Change();
    void cmdAddCont_Click();
    void cmdCanAddCont_Click();
    void LstContacts_ItemClick(vb::ListItem* Item);
    void cmdRemoveContact_Click();
    void cmdCanRemCont_Click();

    QTabWidget* SSTab1 = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* txtEmail = nullptr;
    QPushButton* cmdAddCont = nullptr;
    QPushButton* cmdCanAddCont = nullptr;
    vb::ListView* LstContacts = nullptr;
    QPushButton* cmdRemoveContact = nullptr;
    QPushButton* cmdCanRemCont = nullptr;

    // Closing by the frame (or Escape) lands here.
    void reject() override;

    // Takes each checked answer (as g_strDialogResult holds it) instead of closing the manager.
    using Sender = std::function<void(const QString& answer)>;
    void setSender(Sender sender) { m_sender = std::move(sender); }
    // Whether an answer went to the sender and nothing has come of it yet.
    bool changePending() const { return m_pending; }
    // The change was made: said so, and the removal list taken again from `users`. `addedName`:
    // the new contact's name as the server tells it (none until they add the user back).
    void changeDone(const vb::ListView& users, const QString& addedName);
    // The change was not made, for the reason given.
    void changeRefused(const QString& why);
    // While the manager is open, what the chat link tells of its add and remove requests is
    // shown here; `users` is the list the link fills.
    void followLink(const chatlink::ChatLink& link, const vb::ListView& users);
    QLabel* lblOutcome = nullptr;

    // Widths of the removal list's columns, in 24ths of the list's width.
    static constexpr int kColumnShares[] = {4, 12, 9};

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Form_Load(const vb::ListView& users);
    void fillContacts(const vb::ListView& users);
    void refuseAddress(const QString& message, const QString& title);
    // The answer is checked: to the sender, or the manager closes with it.
    void answer(const QString& result, const QString& doing);
    void showOutcome(const QString& text, int colour);
    Sender m_sender;
    bool m_pending = false;
    QString m_ownEmail;
    bool m_answered = false;
    bool m_columnsSized = false;
};

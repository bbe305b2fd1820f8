#pragma once
// The contacts manager: add a contact by e-mail address or pick one to remove. It only checks
// and answers through basMain::g_strDialogResult ("A" + "Ô" + e-mail, "R" + "Ô" + row key, or
// empty); the main window sends the request.
#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace vb {
class ListView;
class ListItem;
} // namespace vb

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

    // Widths of the removal list's columns, in 24ths of the list's width.
    static constexpr int kColumnShares[] = {4, 12, 9};

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Form_Load(const vb::ListView& users);
    void refuseAddress(const QString& message, const QString& title);
    QString m_ownEmail;
    bool m_answered = false;
    bool m_columnsSized = false;
};

#pragma once
// Asks a new user for a display name and an e-mail address. The answer goes to
// basMain::g_strDialogResult: display name + "Ô" + e-mail in lower case, or empty text when the
// user cancels or closes the window.
#include <QDialog>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

class frmRegister : public QDialog {
    Q_OBJECT
public:
    explicit frmRegister(QWidget* parent = nullptr);

    void txtDisplayNM_Change();
    void txtEmail_Change();
    void cmdRegister_Click();
    void cmdCancel_Click();

    QLineEdit* txtDisplayNM = nullptr;
    QLineEdit* txtEmail = nullptr;
    QPushButton* cmdRegister = nullptr;
    QPushButton* cmdCancel = nullptr;
    QPlainTextEdit* txtMessage = nullptr;
    QLabel* Label1[2] = {};

    // The form again after the server refused what it sent: the fields as they were, the
    // server's text in place of the welcome, and the focus in the e-mail field.
    void showRefusal(const QString& displayName, const QString& email, const QString& serverText);

    // Cancel, closing by the frame and Escape land here.
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refuseField(QLineEdit* field, const QString& message, const QString& title);

    bool m_registered = false;
    QLineEdit* m_firstFocus = nullptr;
};

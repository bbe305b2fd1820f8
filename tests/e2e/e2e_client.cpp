// The program as a person runs it, remote-controlled by the end-to-end test: the same start-up as
// the real executable (single-instance lock, main window, its start, the event loop), with its
// folder given on the command line and its dialogs and message boxes answered here. Commands come
// one per line on standard input and are carried out through the handlers a click runs; each gets
// one answer line ("ok ..." or "err ...") on standard output. Message boxes are reported as
// "box: ..." lines as they come, and the first time the main window is on screen, a "shown" line.
//
//   e2e_client FOLDER DISPLAY-NAME E-MAIL
#include "app/ProgramEntry.h"
#include "app/frmMain.h"
#include "call/rtc/EngineModule.h"
#include "call/rtc/Rtc.h"
#include "callui/CallSecurityPanel.h"
#include "core/basMain.h"
#include "platform/vb.h"
#include "platform/widgets/Controls.h"
#include "platform/widgets/ListView.h"
#include "platform/widgets/MsgBox.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QWindow>
#include <cstdio>
#include <deque>
#include <exception>
#include <unistd.h>

namespace {

void say(QString line) {
    const QByteArray bytes = line.replace('\n', ' ').replace('\r', ' ').toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

class Remote : public QObject {
public:
    Remote(QString displayName, QString email) : m_displayName(std::move(displayName)), m_email(std::move(email)) {
        vb::setModalHandlerForTesting([this](QDialog& dialog) { return answerDialog(dialog); });
        vb::setMsgBoxHandlerForTesting([](const QString& prompt, int buttons, const QString& title) {
            say(QStringLiteral("box: ") + title + QStringLiteral(" | ") + prompt);
            return (buttons & 7) == vb::vbYesNo ? int(vb::vbYes) : int(vb::vbOK);
        });
        m_stdin = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
        connect(m_stdin, &QSocketNotifier::activated, this, [this] { readInput(); });
        qApp->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!m_shown && event->type() == QEvent::Expose) {
            const frmMain* form = frmMain::existing();
            if (form && watched == form->windowHandle() && form->windowHandle()->isExposed()) {
                m_shown = true;
                say(QStringLiteral("shown"));
            }
        }
        return false;
    }

private:
    int answerDialog(QDialog& dialog) {
        if (auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("txtDisplayNM"))) {
            // The form again after the server refused the registration: the same answer would be
            // refused again, so the user gives up (and the program ends).
            const QString shown = dialog.findChild<QPlainTextEdit*>(QStringLiteral("txtMessage"))->toPlainText();
            if (shown.contains(QLatin1String("did not register you"))) {
                say(QStringLiteral("box: Registration refused | ") + shown.simplified());
                dialog.reject();
                return dialog.result();
            }
            name->setText(m_displayName);
            dialog.findChild<QLineEdit*>(QStringLiteral("txtEmail"))->setText(m_email);
            dialog.findChild<QPushButton*>(QStringLiteral("cmdRegister"))->click();
            return dialog.result();
        }
        if (auto* add = dialog.findChild<QPushButton*>(QStringLiteral("cmdAddCont")); add && !m_contact.isEmpty()) {
            dialog.findChild<QLineEdit*>(QStringLiteral("txtEmail"))->setText(m_contact);
            m_contact.clear();
            add->click();
            return dialog.result();
        }
        say(QStringLiteral("box: dialog ") + dialog.objectName() + QStringLiteral(" closed"));
        return QDialog::Rejected;
    }

    // Handlers let events run (DoEvents), so a command may arrive while another one is inside
    // one: it waits its turn.
    void readInput() {
        char buffer[4096];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) {
            // The driver is gone: leave without signing off.
            m_stdin->setEnabled(false);
            basMain::g_blnQuitNoLogOff = true;
            QCoreApplication::exit(0);
            return;
        }
        m_pending.append(buffer, got);
        for (qsizetype end = 0; (end = m_pending.indexOf('\n')) >= 0; m_pending.remove(0, end + 1))
            m_lines.push_back(QString::fromUtf8(m_pending.left(end)).trimmed());
        if (m_busy) return;
        m_busy = true;
        while (!m_lines.empty()) {
            const QString line = m_lines.front();
            m_lines.pop_front();
            try {
                say(run(line));
            } catch (const std::exception& error) {
                say("err " + QString::fromUtf8(error.what()));
            }
        }
        m_busy = false;
    }

    QString run(const QString& line) {
        const QString command = line.section(' ', 0, 0);
        const QString argument = line.section(' ', 1);
        frmMain* form = frmMain::existing();
        if (!form) return "err no main window";
        if (command == "id") return "ok " + form->identity().userId;
        if (command == "state") return "ok " + stateText(*form);
        if (command == "rows") return "ok " + rowsText(*form);
        if (command == "size") return QStringLiteral("ok %1 %2").arg(form->width()).arg(form->height());
        if (command == "request") {
            // The contact request the strip under the list tells of, if it shows one.
            const auto* strip = form->findChild<QWidget*>("fraContactRequest");
            const auto* text = form->findChild<QLabel*>("lblContactRequest");
            return "ok " + (strip && text && strip->isVisibleTo(form) ? text->text() : QString());
        }
        if (command == "addback") return clicked(form->findChild<QPushButton*>("cmdAddBack"));
        if (command == "back") return clicked(form->cmdBackToServer); // to the chat server again
        if (command == "connect") return clicked(form->cmdConnect);
        if (command == "terminate") return clicked(form->cmdTerminate);
        if (command == "click") {
            const int row = argument.toInt();
            if (row < 0 || row >= form->LstUsers->count()) return "err no row " + argument;
            emit form->LstUsers->ItemClick(form->LstUsers->itemAt(row));
        } else if (command == "tick") {
            // Poll ticks of a test's length; the ticks per poll stay as the program has them.
            form->tmrUpdateUserOnLine->setInterval(argument.toInt());
        } else if (command == "add") {
            m_contact = argument;
            form->cmdManageContacts->click();
        } else if (command == "row") {
            // A row for a peer the chat server does not list, such as another SIP program.
            vb::ListItem* item = form->LstUsers->add("On");
            item->setSubItem(2, argument);
            item->setTag(argument);
        } else if (command == "auto") {
            vb::setValue(*form->chkAutoAnswer, argument == "1" ? vb::vbChecked : vb::vbUnchecked);
        } else if (command == "contacts-only") {
            // "Only my contacts may ring", ticked or not as a person would.
            if (form->chkContactsOnly->isChecked() != (argument == "1")) form->chkContactsOnly->click();
        } else if (command == "quit") {
            form->close();
        } else {
            return "err unknown command " + command;
        }
        return "ok";
    }

    static QString clicked(QPushButton* button) {
        if (!button) return "err no such button";
        if (!button->isEnabled()) return "err " + button->objectName() + " disabled";
        button->click();
        return "ok";
    }

    static QString stateText(frmMain& form) {
        return QStringList{QStringLiteral("caption=") + form.windowTitle(),
                           QStringLiteral("frame=") + form.fraStatus->title(),
                           QStringLiteral("status=") + form.txtStatus->toPlainText(),
                           QStringLiteral("connected=") + QString::number(form.g_blnCallConnected ? 1 : 0),
                           QStringLiteral("address=") + basMain::g_strMyWanIP,
                           QStringLiteral("alt=") + basMain::g_strAltServerBase,
                           QStringLiteral("path=") + mediaPath(form),
                           QStringLiteral("security=") + form.panelSecurity->lblCallSecurity->text()}
            .join(QStringLiteral(" | "));
    }

    // The way the current call's media takes, as the engine tells it.
    static QString mediaPath(frmMain& form) {
        static const char* const names[] = {"", "direct", "mapping", "relayed", "no-ice"};
        const long path = form.g_objSession ? form.g_objSession->get_MediaPath() : 0;
        return QString::fromLatin1(path >= 0 && path < 5 ? names[path] : "");
    }

    static QString rowsText(frmMain& form) {
        QStringList rows;
        for (int i = 0; i < form.LstUsers->count(); ++i) {
            const vb::ListItem* item = form.LstUsers->itemAt(i);
            rows.append(
                QStringList{item->Text(), item->SubItem(1), item->SubItem(2), item->Tag()}.join(QLatin1Char(',')));
        }
        return rows.join(QLatin1Char(';'));
    }

    QString m_displayName;
    QString m_email;
    QString m_contact;
    QSocketNotifier* m_stdin = nullptr;
    QByteArray m_pending;
    std::deque<QString> m_lines;
    bool m_busy = false;
    bool m_shown = false;
};

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ColloqChat"));
    QApplication::setOrganizationName(QStringLiteral("ColloqChat"));
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() != 4) {
        std::fputs("usage: e2e_client FOLDER DISPLAY-NAME E-MAIL\n", stderr);
        return 2;
    }
    vb::setAppPathForTesting(arguments[1]);
    Remote remote(arguments[2], arguments[3]);
    say(QStringLiteral("started"));
    rtc::setClientFactory(rtc::loadEngineModule());
    const int code = basMain::Main();
    say(QStringLiteral("exited"));
    return code;
}

#pragma once
// "New ID..." beside Manage Contacts: moves the account to a new ID, when someone else may know
// the ID. It asks the user first, and goes only over an encrypted connection to the chat server.
#include "core/Identity.h"

#include <QPushButton>
#include <functional>

class NewIdButton final : public QPushButton {
public:
    struct Host {
        std::function<const basMain::Identity&()> identity;
        // Sends a request to the chat server on an exchange of its own.
        std::function<void(const QString&)> send;
        // Why nothing was asked, for the status box (in red).
        std::function<void(const QString&)> refuse;
    };
    NewIdButton(QWidget* parent, Host host);

private:
    void cmdNewId_Click();

    Host m_host;
};

#pragma once
// The tests' way into the private call set-up of the main window (frmMain befriends this struct).
#include "app/frmMain.h"
#include "platform/widgets/ListView.h"

#include <QPushButton>

struct FrmMainCallAccess {
    // The engine set up as start-up does it, Answer and Terminate left off as start-up leaves them.
    static void initRtc(frmMain& form) {
        int step = 0;
        form.fnInitRTCClient(step);
        form.cmdTerminate->setEnabled(false);
        form.cmdAnswer->setEnabled(false);
    }
    // The user list as start-up lays it out, holding one selected contact called at `address`.
    static vb::ListItem* listContact(frmMain& form, const QString& name, const QString& email, const QString& address) {
        if (form.LstUsers->columnCountHeaders() == 0) form.addUserListColumns();
        form.LstUsers->clearItems();
        vb::ListItem* row = form.LstUsers->add(QStringLiteral("On"));
        row->setSubItem(1, name);
        row->setSubItem(2, email);
        row->setTag(address);
        row->setSelected(true);
        form.LstUsers_ItemClick(row);
        return row;
    }
};

#pragma once
// The main window on the real call engine, as the tests that call it drive it: where it takes
// calls, what the user does while it rings, its newest history row, and its end.
#include "app/frmMain.h"
#include "core/basMain.h"
#include "history/CallHistoryView.h"
#include "support/FrmMainCallAccess.h"
#include "support/TestEnv.h"

#include <QGroupBox>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <functional>
#include <memory>

namespace enginewindow {

// The port the window's engine listens on, and where a peer on loopback calls it ("127.0.0.1:port"):
// called at another of the host's addresses, a peer would name that one in its contact address.
inline quint16 sipPort() {
    return quint16(basMain::g_strMyWanIP.section(QLatin1Char(':'), -1).toUInt());
}
inline QString sipTarget() {
    return QStringLiteral("127.0.0.1:") + QString::number(sipPort());
}

// Runs `act` as soon as the window rings (Answer is offered): once, or at every ring while the
// timer runs. The window rings in an event loop of its own, so what the user does meanwhile comes
// from a timer.
enum class Rings { First, Every };
inline std::unique_ptr<QTimer> whenRinging(frmMain& form, const std::function<void()>& act, int everyMs = 20,
                                           Rings rings = Rings::First) {
    auto timer = std::make_unique<QTimer>();
    QObject::connect(timer.get(), &QTimer::timeout, [&form, act, rings, watch = timer.get()] {
        if (!form.cmdAnswer->isEnabled()) return;
        if (rings == Rings::First) watch->stop();
        act();
    });
    timer->start(everyMs);
    return timer;
}

// The texts of a row of the History tab, newest first; empty when there is no such row.
inline QStringList historyRow(const frmMain& form, int index = 0) {
    const QTreeWidget& list = *form.viewHistory->lstHistory;
    QStringList texts;
    if (index >= list.topLevelItemCount()) return texts;
    for (int column = 0; column < list.columnCount(); ++column)
        texts << list.topLevelItem(index)->text(column);
    return texts;
}

// Closes the window as the user does, if its engine still runs.
inline void unload(frmMain& form) {
    int cancel = 0;
    if (form.g_objRTCClient) form.Form_Unload(cancel);
}

// The window in a program folder of its own, its engine started; `prepare` sets what must be
// set before (the user's identity, say). Ann is called at the address given.
struct EngineWindow {
    testenv::TestEnv env;
    frmMain form;
    explicit EngineWindow(const std::function<void(frmMain&)>& prepare = {}) {
        env.makeLogsFolder();
        if (prepare) prepare(form);
        FrmMainCallAccess::initRtc(form);
    }
    ~EngineWindow() { unload(form); }
    EngineWindow(const EngineWindow&) = delete;
    EngineWindow& operator=(const EngineWindow&) = delete;
    void call(const QString& address) {
        FrmMainCallAccess::listContact(form, QStringLiteral("Ann"), QStringLiteral("ann@x.org"), address);
        form.cmdConnect->click();
    }
    QString caption() const { return form.fraStatus->title(); }
};

} // namespace enginewindow

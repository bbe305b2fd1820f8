#pragma once
// The end of the user's session as the program hears it on Linux: SIGTERM (log-out, shutdown,
// `kill`), SIGHUP (the terminal or session went) and SIGINT (Ctrl+C). Each is turned into the
// signal `ending` on the UI thread, so that the program signs off as Quit does instead of vanishing
// from the chat server's list only when its entry times out. A second one while it signs off
// ends the program at once, as it would have without this.
#include <QObject>

class QSocketNotifier;

namespace desktop {

class SessionEnd : public QObject {
    Q_OBJECT
public:
    // One at a time in a process: the signals' handlers are the process's.
    explicit SessionEnd(QObject* parent = nullptr);
    ~SessionEnd() override;

signals:
    void ending();

private:
    void onSignal();
    QSocketNotifier* m_notifier = nullptr;
};

} // namespace desktop

#pragma once
// The call history on screen: a list of the calls, newest first, kept in step with the store as
// the calls come and go. A double-click asks for a call back to that row's address; missed calls
// count as unseen until the list has been on screen.
#include "history/CallHistory.h"

#include <QHash>
#include <QWidget>
#include <memory>

class QLabel;
class QTabWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace history {

class CallHistoryView : public QWidget {
    Q_OBJECT
public:
    explicit CallHistoryView(QWidget* parent = nullptr);
    ~CallHistoryView() override;

    // Opens the history file and counts its missed calls; what it holds is listed once the list
    // is first shown or a call is recorded.
    void open(const QString& path, int maxRows = CallHistory::kDefaultMaxRows);
    // Keeps and shows one report of a call.
    void record(const CallActivity& activity);
    int unseenMissed() const { return m_unseen; }

    // "History", or "History (2)" with two missed calls unseen.
    static QString tabTitle(int unseenMissed);
    // Becomes the last tab of `tabs`, with the history file at `path` opened; the tab's title
    // counts the missed calls not yet seen.
    void addTo(QTabWidget& tabs, const QString& path);

    QTreeWidget* lstHistory = nullptr;
    QLabel* lblProblem = nullptr;

    enum Column { kTime, kDirection, kResult, kContact, kEmail, kLength, kAddress, kEncryption, kColumns };

signals:
    void callBackRequested(const QString& name, const QString& email, const QString& address);
    void unseenMissedChanged(int count);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void showRecord(const CallRecord& record);
    // Lists every row the store holds, anew.
    void showAll();
    bool onScreen() const;
    void markSeen();
    void setUnseen(int count);
    void showProblem();

    std::unique_ptr<CallHistory> m_store;
    QHash<qint64, QTreeWidgetItem*> m_items;
    quint64 m_removals = 0; // the store's count when the list was last read in full
    bool m_listed = false;  // the list has been read in (at its first showing or the first call)
    int m_unseen = 0;
};

} // namespace history

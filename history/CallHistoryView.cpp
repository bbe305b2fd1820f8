#include "history/CallHistoryView.h"

#include <QHeaderView>
#include <QLabel>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace history {

namespace {

constexpr int kAddressRole = Qt::UserRole;

QString lengthText(qint64 seconds) {
    const QString minutesAndSeconds = QStringLiteral("%1:%2")
                                          .arg((seconds / 60) % 60, seconds >= 3600 ? 2 : 1, 10, QLatin1Char('0'))
                                          .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return seconds >= 3600 ? QString::number(seconds / 3600) + QLatin1Char(':') + minutesAndSeconds : minutesAndSeconds;
}

} // namespace

CallHistoryView::CallHistoryView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("viewHistory"));
    lstHistory = new QTreeWidget(this);
    lstHistory->setObjectName(QStringLiteral("lstHistory"));
    lstHistory->setRootIsDecorated(false);
    lstHistory->setUniformRowHeights(true);
    lstHistory->setAllColumnsShowFocus(true);
    lstHistory->setSelectionMode(QAbstractItemView::SingleSelection);
    lstHistory->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lstHistory->setHeaderLabels({QStringLiteral("Time"), QStringLiteral("Call"), QStringLiteral("Result"),
                                 QStringLiteral("Contact"), QStringLiteral("E-mail"), QStringLiteral("Length"),
                                 QStringLiteral("Address"), QStringLiteral("Encryption")});
    // The names and addresses share what the fixed-width columns leave.
    lstHistory->header()->setStretchLastSection(false);
    lstHistory->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    lstHistory->header()->setSectionResizeMode(kContact, QHeaderView::Stretch);
    lstHistory->header()->setSectionResizeMode(kEmail, QHeaderView::Stretch);
    lstHistory->setToolTip(QStringLiteral("Double-click a call to call back"));
    lblProblem = new QLabel(this);
    lblProblem->setObjectName(QStringLiteral("lblProblem"));
    lblProblem->setTextFormat(Qt::PlainText);
    lblProblem->setWordWrap(true);
    lblProblem->hide();
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lstHistory, 1);
    layout->addWidget(lblProblem);
    connect(lstHistory, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item) {
        if (item)
            emit callBackRequested(item->text(kContact), item->text(kEmail),
                                   item->data(kAddress, kAddressRole).toString());
    });
}

CallHistoryView::~CallHistoryView() = default;

void CallHistoryView::open(const QString& path, int maxRows) {
    m_store = std::make_unique<CallHistory>(path, maxRows);
    // A full history is a thousand rows of seven texts, about 2 MiB that the program would carry
    // all day for a tab rarely looked at: they are read in once the list is wanted.
    if (onScreen()) showAll();
    showProblem();
    if (onScreen()) markSeen();
    setUnseen(m_store->unseenMissed());
}

void CallHistoryView::showAll() {
    m_listed = true;
    lstHistory->clear();
    m_items.clear();
    m_removals = m_store->removals();
    const std::vector<CallRecord> records = m_store->records();
    // Oldest first, each new one going on top.
    std::for_each(records.rbegin(), records.rend(), [this](const CallRecord& record) { showRecord(record); });
}

void CallHistoryView::record(const CallActivity& activity) {
    if (!m_store) return;
    const std::optional<CallRecord> record = m_store->record(activity);
    // Rows folded into others or trimmed: the list is read again, rather than guessed at. A call
    // is a use of the history: a list not read in yet is read now.
    if (!m_listed || m_store->removals() != m_removals)
        showAll();
    else if (record)
        showRecord(*record);
    showProblem();
    if (activity.phase != CallActivity::Phase::Ended) return;
    if (onScreen()) markSeen();
    setUnseen(m_store->unseenMissed());
}

QString CallHistoryView::tabTitle(int unseenMissed) {
    return unseenMissed > 0 ? QStringLiteral("History (%1)").arg(unseenMissed) : QStringLiteral("History");
}

void CallHistoryView::addTo(QTabWidget& tabs, const QString& path) {
    const int tab = tabs.addTab(this, tabTitle(0));
    open(path);
    tabs.setTabText(tab, tabTitle(m_unseen));
    connect(this, &CallHistoryView::unseenMissedChanged, &tabs,
            [&tabs, tab](int count) { tabs.setTabText(tab, tabTitle(count)); });
}

void CallHistoryView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!m_store || !onScreen()) return;
    if (!m_listed) showAll();
    markSeen();
    setUnseen(m_store->unseenMissed());
}

// Newest first: a call not listed yet goes on top, the oldest beyond the cap go.
void CallHistoryView::showRecord(const CallRecord& record) {
    QTreeWidgetItem* item = m_items.value(record.id);
    if (!item) {
        item = new QTreeWidgetItem;
        lstHistory->insertTopLevelItem(0, item);
        m_items.insert(record.id, item);
        while (lstHistory->topLevelItemCount() > m_store->maxRows()) {
            std::unique_ptr<QTreeWidgetItem> oldest(lstHistory->takeTopLevelItem(lstHistory->topLevelItemCount() - 1));
            m_items.remove(m_items.key(oldest.get()));
        }
    }
    item->setText(kTime, record.started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm")));
    item->setText(kDirection, record.incoming ? QStringLiteral("In") : QStringLiteral("Out"));
    item->setText(kResult, record.repeats > 1 ? outcomeText(record.outcome) + QStringLiteral(" \u00d7") +
                                                    QString::number(record.repeats)
                                              : outcomeText(record.outcome));
    item->setText(kContact, record.name);
    item->setText(kEmail, record.email);
    item->setText(kLength, record.seconds > 0 ? lengthText(record.seconds) : QString());
    item->setText(kAddress, record.address);
    item->setData(kAddress, kAddressRole, record.address);
    item->setText(kEncryption, record.security);
    const bool missed = record.outcome == CallActivity::Outcome::Missed;
    for (int column = 0; column < kColumns; ++column)
        item->setForeground(column, missed ? QBrush(Qt::red) : QBrush());
}

bool CallHistoryView::onScreen() const {
    return isVisible() && !window()->isMinimized();
}

void CallHistoryView::markSeen() {
    m_store->markAllSeen();
}

void CallHistoryView::setUnseen(int count) {
    if (count == m_unseen) return;
    m_unseen = count;
    emit unseenMissedChanged(count);
}

void CallHistoryView::showProblem() {
    const bool failing = !m_store->error().isEmpty();
    if (failing) lblProblem->setText(QStringLiteral("The call history cannot be kept: ") + m_store->error());
    lblProblem->setVisible(failing);
}

} // namespace history

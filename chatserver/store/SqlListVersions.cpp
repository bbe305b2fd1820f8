// The versions of the users' contact lists, which let a server keep the lists in memory (see
// PollView::listVersion), and the poll's read of the user's own row with its list's version.
#include "chatserver/store/SqlStorage.h"
#include "chatserver/store/SqlValues.h"

#include <algorithm>
#include <utility>

namespace chatserver {

std::optional<PollView> SqlStorage::pollHead(qint64 id) {
    QSqlQuery& query = run(Stmt::PollHead, {int64(id)});
    std::optional<PollView> view;
    if (query.next()) {
        view.emplace();
        view->user = readUser(query, 0);
        view->listVersion = query.value(9).toLongLong();
        view->signsInSecurely = query.value(10).toBool();
    }
    query.finish();
    if (view) overlayPending(view->user);
    return view;
}

void SqlStorage::listChanged(qint64 id) {
    m_changedLists.append(id);
    if (!m_inTransaction) writeListVersions();
}

void SqlStorage::shownChanged(qint64 id) {
    m_changedShown.append(id);
    if (!m_inTransaction) writeListVersions();
}

void SqlStorage::writeListVersions() {
    QList<qint64> lists = std::exchange(m_changedLists, {});
    for (const qint64 id : std::exchange(m_changedShown, {})) {
        QSqlQuery& viewers = run(Stmt::ViewersOf, {int64(id)});
        while (viewers.next())
            lists.append(viewers.value(0).toLongLong());
        viewers.finish();
    }
    std::sort(lists.begin(), lists.end());
    lists.erase(std::unique(lists.begin(), lists.end()), lists.end());
    for (const qint64 id : lists)
        run(Stmt::BumpListVersion, {int64(id)}).finish();
}

} // namespace chatserver

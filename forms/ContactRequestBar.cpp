#include "forms/ContactRequestBar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

#include <algorithm>

ContactRequestBar::ContactRequestBar(QWidget* parent) : QFrame(parent) {
    setObjectName(QStringLiteral("fraContactRequest"));
    setFrameShape(QFrame::StyledPanel);
    lblRequest = new QLabel(this);
    lblRequest->setObjectName(QStringLiteral("lblContactRequest"));
    lblRequest->setTextFormat(Qt::PlainText); // names come from other users
    lblRequest->setWordWrap(true);
    cmdAddBack = new QPushButton(QStringLiteral("Add &back"), this);
    cmdAddBack->setObjectName(QStringLiteral("cmdAddBack"));
    cmdIgnore = new QPushButton(QStringLiteral("I&gnore"), this);
    cmdIgnore->setObjectName(QStringLiteral("cmdIgnore"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(6, 3, 6, 3);
    layout->addWidget(lblRequest, 1);
    layout->addWidget(cmdAddBack);
    layout->addWidget(cmdIgnore);
    connect(cmdAddBack, &QPushButton::clicked, this, [this] { answered(true); });
    connect(cmdIgnore, &QPushButton::clicked, this, [this] { answered(false); });
    hide();
}

void ContactRequestBar::offer(const QList<wire::ContactRequestEntry>& asking) {
    const auto listed = [&](const wire::ContactRequestEntry& queued) {
        return std::any_of(asking.begin(), asking.end(),
                           [&](const wire::ContactRequestEntry& entry) { return entry.handle == queued.handle; });
    };
    // Taken back meanwhile (the one asking removed the user): not to be answered any more.
    std::erase_if(m_queue, [&](const wire::ContactRequestEntry& queued) { return !listed(queued); });
    for (const wire::ContactRequestEntry& entry : asking) {
        if (m_told.contains(entry.handle) || m_told.size() >= kMaxRemembered ||
            static_cast<qsizetype>(m_queue.size()) >= kMaxQueued)
            continue;
        m_told.insert(entry.handle);
        m_queue.push_back(entry);
    }
    showFirst();
}

void ContactRequestBar::answered(bool addBack) {
    if (m_queue.empty()) return;
    const wire::ContactRequestEntry entry = m_queue.front();
    m_queue.pop_front();
    showFirst();
    if (addBack)
        emit addBackRequested(entry);
    else
        emit ignoreRequested(entry);
}

void ContactRequestBar::showFirst() {
    if (m_queue.empty()) {
        hide();
        return;
    }
    const wire::ContactRequestEntry& first = m_queue.front();
    QString text = first.name + QStringLiteral(" (") + first.email + QStringLiteral(") wants to add you as a contact");
    if (m_queue.size() > 1) text += QStringLiteral(" (%1 more after this one)").arg(m_queue.size() - 1);
    lblRequest->setText(text);
    show();
}

// The chat server's replies handled on real contacts and what else the window gives the reply
// handler (offscreen): up to eight replies per input, cut at NUL bytes, one after another on the
// same list, the way a session receives them. Settings files land in a temporary program folder;
// message boxes answer OK. After each reply the reply text is used up, every row has its own "A"
// key, the list holds no more rows than the replies could have added, and a settings file changed
// only when the request the input stands for asked for it.
#include "FuzzClient.h"
#include "chatlink/ChatProtocol.h"
#include "chatlink/ContactsModel.h"
#include "core/SettingsFiles.h"
#include "core/basMain.h"
#include "platform/ListModel.h"
#include "platform/vb.h"
#include "wire/Codepage.h"

#include <QFile>
#include <QSet>
#include <QTimer>
#include <memory>

namespace {

// The controls a reply changes, as the window hands them to the reply handler.
struct Controls {
    chatlink::ContactsModel LstUsers;
    basMain::Identity identity;
    QString txtStatus;
    QTimer tmrRegistration;
    QTimer tmrServerCall;
    basMain::ReplyTarget target{&LstUsers, &identity, [this](const QString& text, int) { txtStatus = text; },
                                &tmrRegistration, &tmrServerCall};
};

Controls* s_form = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::startGuiApp();
    fuzz::enterProgramFolder();
    // Kept to the end of the process, as the application object is (see fuzz::startApp).
    s_form = std::make_unique<Controls>().release();
    s_form->LstUsers.addUserColumns();
    return 0;
}

namespace {

// Every input starts on an empty list and leaves it empty: what an input made is released
// before the fuzzer counts the allocations it left behind, so only a real leak makes it look.
void clearForm() {
    basMain::resetGlobals();
    s_form->LstUsers.clearItems();
    s_form->txtStatus.clear();
}

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    clearForm();
    // The first byte says which request the replies answer: a registration, the sign-off's
    // 2005, or a poll that asked for neither file.
    const std::uint8_t asked = size > 0 ? data[0] : 0;
    basMain::g_blnRegistrationWaiting = (asked & 1) != 0;
    const basMain::Answered answered{(asked & 2) != 0 ? QStringLiteral("2005") : QStringLiteral("1"), false};

    qsizetype fieldsSeen = 0;
    for (const QByteArray& reply : fuzz::pieces(data, size, 8)) {
        basMain::g_strMsgReceived = wire::fromCp1252(reply);
        fieldsSeen += basMain::g_strMsgReceived.count(QChar(0x00D4)) + 1;
        const QByteArray serverFile = fileBytes(basMain::serverAddressFilePath());
        const QByteArray siteFile = fileBytes(basMain::userSettingsFilePath());
        basMain::fnUseMSGReceived(s_form->target, answered);
        // Reply 111 moves the server when its address is sound, whatever was asked.
        bool moves = false;
        try {
            moves = vb::CInt(wire::fromCp1252(reply).section(QChar(0x00D4), 0, 0)) == 111;
        } catch (const std::exception&) {
        }
        if (!basMain::g_blnRegistrationWaiting && !moves)
            fuzz::check(fileBytes(basMain::serverAddressFilePath()) == serverFile, "the identity changed unasked");
        if (answered.request != QLatin1String("2005"))
            fuzz::check(fileBytes(basMain::userSettingsFilePath()) == siteFile, "the site list changed unasked");
        fuzz::check(fileBytes(basMain::userSettingsFilePath()).size() <= basMain::kMaxUserSettingsChars,
                    "a site list beyond its bound");

        fuzz::check(basMain::g_strMsgReceived.isEmpty(), "the reply was not used up");
        const vb::ListModel& list = s_form->LstUsers;
        // A row takes at least five fields of some reply.
        fuzz::check(list.count() <= fieldsSeen / 5, "more rows than the replies carried");
        QSet<QString> keys;
        for (int i = 0; i < list.count(); ++i) {
            const QString& key = list.itemAt(i)->Key();
            fuzz::check(key.startsWith(QLatin1Char('A')), "a row without its key");
            fuzz::check(!keys.contains(key), "two rows with one key");
            keys.insert(key);
        }
    }
    s_form->tmrServerCall.stop();
    s_form->tmrRegistration.stop();
    clearForm();
    fuzz::finishInput();
    fuzz::trimLogs();
    return 0;
}

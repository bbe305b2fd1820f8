// RTC_Chat.kvo as the start-up loader reads it. The input is the file's plain text; it is
// scrambled and written to the temporary program folder, and fnFillcall reads it as at start-up
// (no ColloqChat.kvo, so no web lookup; the registration dialog, when it comes, is cancelled).
// fnFillcall goes on to log in only for a file of four fields with a numeric ID and a usable
// e-mail address, and then sends exactly those two fields. The windows make this slow:
// fuzz_server_address_fields judges the same file's fields many more times.
#include "FuzzClient.h"
#include "app/StartupLoader.h"
#include "app/basMain.h"
#include "app/frmMain.h"
#include "forms/frmRegWait.h"
#include "server/SettingsFile.h"
#include "wire/Codepage.h"
#include "wire/Protocol.h"
#include "wire/Scramble.h"

#include <QFile>
#include <QLineEdit>
#include <QTimer>
#include <memory>

namespace {

frmMain* s_form = nullptr;

// Every input starts from a fresh start-up state and leaves one: what an input made is released
// before the fuzzer counts the allocations it left behind, so only a real leak makes it look.
void clearState() {
    basMain::resetGlobals();
    if (!s_form->txtEmail->text().isEmpty()) s_form->txtEmail->clear();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::startGuiApp();
    fuzz::enterProgramFolder();
    // Kept to the end of the process, as the application object is (see FuzzSupport.cpp).
    s_form = std::make_unique<frmMain>().release();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    clearState();
    QFile::remove(basMain::userSettingsFilePath());

    const QString plain = fuzz::text(data, size);
    fuzz::writeScrambledFile(basMain::serverAddressFilePath(), plain);

    const bool loggedIn = basMain::fnFillcall();

    const QStringList fields = plain.split(wire::kSep);
    if (loggedIn) {
        fuzz::check(fields.size() == 4, "logged in from a file without four fields");
        fuzz::check(basMain::g_strMsgToSend == QStringLiteral("1") + wire::kSep + fields[2] + wire::kSep + fields[3],
                    "the log-in request is not the stored identity");
        fuzz::check(s_form->txtEmail->text() == fields[3], "the e-mail box does not show the stored address");
        fuzz::check(!basMain::g_strServerIP.isEmpty() && !basMain::g_strServerPort.isEmpty(), "no server chosen");
    } else {
        fuzz::check(basMain::g_strMsgToSend.isEmpty(), "a request is pending although start-up stopped");
    }
    // The please-wait window stays loaded for the next input, as it does through start-up; made,
    // shown, painted and released every time it cost more than the rest of the input.
    if (frmRegWait::isLoaded()) frmRegWait::get().Timer1->stop();
    s_form->tmrRegistration->stop();
    s_form->tmrServerCall->stop();
    clearState();
    fuzz::finishInput();
    fuzz::trimLogs();
    return 0;
}

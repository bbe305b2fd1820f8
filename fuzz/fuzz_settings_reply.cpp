// A reply 2005 as the client stores it: the input is the plain text of ColloqChat.kvo as it
// stands, and the same text taken as the reply that carries a new one (a reply that carries
// nothing writes nothing, one that carries what the file already holds leaves it alone).
//   - the file is written exactly when the reply carries lines that differ from the file's;
//   - what was stored loads back into the site tables as the lines the reply carried.
// Every input replaces the file twice; reading the file alone is fuzz_user_settings_file's.
#include "FuzzClient.h"
#include "app/basMain.h"
#include "server/SettingsFile.h"
#include "wire/SettingsFile.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return fuzz::startSettingsTarget();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    basMain::resetGlobals();
    const QString plain = fuzz::text(data, size);
    const QString path = basMain::userSettingsFilePath();
    fuzz::writeScrambledFile(path, plain);

    const QString carried = wire::settingsTextFromReply(plain);
    const bool written = basMain::writeUserSettingsFile(plain);
    fuzz::check(written == (!carried.isEmpty() && carried != plain), "the file was written when it should not be");
    if (!carried.isEmpty()) {
        basMain::loadSiteTables();
        fuzz::checkSiteTables(wire::parseSettingsText(carried), "a stored reply loads back differently");
    }
    fuzz::trimLogs();
    return 0;
}

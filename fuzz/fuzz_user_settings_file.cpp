// ColloqChat.kvo, the web-site lists: as text (the shared reader) and as the file the client
// loads into its three site tables. The input is the file's plain text.
//   - reading what was composed from a reading gives the same records;
//   - the site tables hold exactly the records of types 0, 1 and 2, in file order.
// The same text taken as a reply 2005 that is stored and loaded back is fuzz_settings_reply's.
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

    const QList<wire::SiteRecord> records = wire::parseSettingsText(plain);
    fuzz::check(wire::parseSettingsText(wire::composeSettingsText(records)) == records,
                "composed records read back differently");

    // Each input overwrites the file the one before left.
    fuzz::writeScrambledFile(basMain::userSettingsFilePath(), plain);
    basMain::loadSiteTables();
    fuzz::checkSiteTables(records, "the site tables differ from the file's records");
    fuzz::trimLogs();
    return 0;
}

// ColloqChat.kvo, the web-site lists: as text (the shared reader), as the file the client loads
// into its three site tables, and as the reply 2005 that carries a new one. The input is the
// plain text; it is also taken as a whole reply 2005.
//   - reading what was composed from a reading gives the same records;
//   - the site tables hold exactly the records of types 0, 1 and 2, in file order;
//   - a reply stored with writeUserSettingsFile loads back as the lines it carried.
#include "FuzzClient.h"
#include "app/basMain.h"
#include "server/SettingsFile.h"
#include "wire/Codepage.h"
#include "wire/Scramble.h"
#include "wire/SettingsFile.h"

#include <QFile>

namespace {

void writeScrambled(const QString& path, const QString& plain) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) fuzz::fail("cannot write ColloqChat.kvo");
    file.write(wire::toCp1252(wire::scrambled(plain)));
}

basMain::SiteTable expectedTable(const QList<wire::SiteRecord>& records, const QString& type) {
    basMain::SiteTable table;
    for (const wire::SiteRecord& record : records)
        if (record.type == type) table.append(record.values);
    // The loader starts each table with one row; an empty first cell takes the next record's
    // place, so a record whose address is empty is overwritten by the one after it.
    basMain::SiteTable loaded;
    basMain::resetSiteTable(loaded);
    for (const auto& values : table) {
        if (loaded.front()[0].isEmpty() && loaded.size() == 1)
            loaded.front() = values;
        else
            loaded.append(values);
    }
    return loaded;
}

void checkTables(const QList<wire::SiteRecord>& records, const char* what) {
    fuzz::check(basMain::g_arrRedirectSites == expectedTable(records, QStringLiteral("0")), what);
    fuzz::check(basMain::g_arrWanIPSites == expectedTable(records, QStringLiteral("1")), what);
    fuzz::check(basMain::g_arrAltServerSites == expectedTable(records, QStringLiteral("2")), what);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::startCoreApp();
    fuzz::enterProgramFolder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    basMain::resetGlobals();
    const QString plain = fuzz::text(data, size);

    const QList<wire::SiteRecord> records = wire::parseSettingsText(plain);
    fuzz::check(wire::parseSettingsText(wire::composeSettingsText(records)) == records,
                "composed records read back differently");

    const QString path = basMain::userSettingsFilePath();
    writeScrambled(path, plain);
    basMain::loadSiteTables();
    checkTables(records, "the site tables differ from the file's records");

    // The same text as a reply 2005: what it carries is stored, then loaded.
    const QString carried = wire::settingsTextFromReply(plain);
    const bool written = basMain::writeUserSettingsFile(plain);
    fuzz::check(written == (!carried.isEmpty() && carried != plain), "the file was written when it should not be");
    if (!carried.isEmpty()) {
        basMain::loadSiteTables();
        checkTables(wire::parseSettingsText(carried), "a stored reply loads back differently");
    }
    QFile::remove(path);
    fuzz::trimLogs();
    return 0;
}

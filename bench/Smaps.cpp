#include "bench/Smaps.h"

#include <QFile>
#include <QHash>
#include <algorithm>
#include <cstdio>

namespace bench {

namespace {

// The name a mapping is summed under: the file name without its folder, or the kernel's name for
// anonymous memory.
QString mappingName(const QByteArray& header) {
    // address perms offset device inode [path]: the path is what follows the fifth field.
    qsizetype at = 0;
    for (int field = 0; field < 5 && at >= 0; ++field) {
        while (at < header.size() && header.at(at) == ' ')
            ++at;
        at = header.indexOf(' ', at);
    }
    const QString path = at < 0 ? QString() : QString::fromUtf8(header.mid(at)).trimmed();
    if (path.isEmpty()) return QStringLiteral("[anonymous]");
    if (path.startsWith(QLatin1Char('['))) return path;
    return path.section(QLatin1Char('/'), -1);
}

long fieldKb(const QByteArray& line) {
    return line.mid(line.indexOf(':') + 1).trimmed().split(' ').value(0).toLong();
}

// A family of libraries, so that the table reads as what the process does rather than as a list
// of file names.
const char* family(const QString& name) {
    static const struct {
        const char* prefix;
        const char* family;
    } kFamilies[] = {
        {"libQt6Network", "Qt Network"},
        {"libQt6DBus", "Qt D-Bus"},
        {"libdbus", "Qt D-Bus"},
        {"libQt6Sql", "Qt Sql"},
        {"libQt6XcbQpa", "Qt on X11 (xcb)"},
        {"libqxcb", "Qt on X11 (xcb)"},
        {"libQt6OpenGL", "Qt OpenGL"},
        {"libQt6", "Qt Core, Gui, Widgets"},
        {"libQt5", "Qt 5"},
        {"libicu", "ICU"},
        {"libharfbuzz", "text rendering"},
        {"libfreetype", "text rendering"},
        {"libfontconfig", "text rendering"},
        {"libgraphite2", "text rendering"},
        {"libmd4c", "text rendering"},
        {"libpng", "images"},
        {"libjpeg", "images"},
        {"libbrotli", "compression"},
        {"libz.", "compression"},
        {"libzstd", "compression"},
        {"liblzma", "compression"},
        {"libbz2", "compression"},
        {"liblinphone", "liblinphone"},
        {"libbelle-sip", "liblinphone"},
        {"libbelr", "liblinphone"},
        {"libbctoolbox", "liblinphone"},
        {"libortp", "liblinphone"},
        {"liblime", "liblinphone"},
        {"libsoci", "liblinphone"},
        {"libxerces", "liblinphone"},
        {"libjsoncpp", "liblinphone"},
        {"libmediastreamer", "media (mediastreamer, codecs)"},
        {"libbzrtp", "media (mediastreamer, codecs)"},
        {"libsrtp", "media (mediastreamer, codecs)"},
        {"libavcodec", "media (mediastreamer, codecs)"},
        {"libavutil", "media (mediastreamer, codecs)"},
        {"libswscale", "media (mediastreamer, codecs)"},
        {"libswresample", "media (mediastreamer, codecs)"},
        {"libvpx", "media (mediastreamer, codecs)"},
        {"libopus", "media (mediastreamer, codecs)"},
        {"libspeex", "media (mediastreamer, codecs)"},
        {"libgsm", "media (mediastreamer, codecs)"},
        {"libv4l", "media (mediastreamer, codecs)"},
        {"libasound", "sound (ALSA, PulseAudio)"},
        {"libpulse", "sound (ALSA, PulseAudio)"},
        {"libsndfile", "sound (ALSA, PulseAudio)"},
        {"libGL", "OpenGL"},
        {"libEGL", "OpenGL"},
        {"libGLX", "OpenGL"},
        {"libglapi", "OpenGL"},
        {"libdrm", "OpenGL"},
        {"libgbm", "OpenGL"},
        {"swrast", "OpenGL"},
        {"libLLVM", "OpenGL"},
        {"libX", "X11 (xcb)"},
        {"libxcb", "X11 (xcb)"},
        {"libxkb", "X11 (xcb)"},
        {"libSM", "X11 (xcb)"},
        {"libICE", "X11 (xcb)"},
        {"libglib", "GLib"},
        {"libgobject", "GLib"},
        {"libgio", "GLib"},
        {"libgmodule", "GLib"},
        {"libpcre", "GLib"},
        {"libsqlite3", "SQLite"},
        {"libcrypto", "OpenSSL, NSS"},
        {"libssl", "OpenSSL, NSS"},
        {"libnss", "OpenSSL, NSS"},
        {"libnspr", "OpenSSL, NSS"},
        {"libsmime", "OpenSSL, NSS"},
        {"libplc", "OpenSSL, NSS"},
        {"libplds", "OpenSSL, NSS"},
        {"libsoftokn", "OpenSSL, NSS"},
        {"libfreebl", "OpenSSL, NSS"},
        {"libstdc++", "C and C++ runtime"},
        {"libc.", "C and C++ runtime"},
        {"libm.", "C and C++ runtime"},
        {"libgcc_s", "C and C++ runtime"},
        {"ld-linux", "C and C++ runtime"},
        {"colloqchat-engine", "our call engine module"},
        {"[heap]", "heap and anonymous memory"},
        {"[anonymous]", "heap and anonymous memory"},
        {"[stack]", "heap and anonymous memory"},
        {"memfd:", "shared-memory buffers"},
        {"SYSV", "shared-memory buffers"},
        {"shm", "shared-memory buffers"},
        {"locale-archive", "fonts and data files"},
        {".ttf", "fonts and data files"},
        {".otf", "fonts and data files"},
        {".pcf", "fonts and data files"},
        {".cache", "fonts and data files"},
        {"gconv", "fonts and data files"},
    };
    for (const auto& entry : kFamilies)
        if (name.startsWith(QLatin1String(entry.prefix)) || name.contains(QLatin1String(entry.prefix)))
            return entry.family;
    return name.startsWith(QLatin1String("lib")) ? "other libraries" : "the program and other files";
}

void printRow(const char* name, const MappingMemory& row) {
    std::printf("    %-44s %8.1f %8.1f %8.1f %8.1f\n", name, double(row.residentKb) / 1024.0,
                double(row.sharedKb) / 1024.0, double(row.cleanKb) / 1024.0, double(row.anonymousKb) / 1024.0);
}

void add(MappingMemory& sum, const MappingMemory& row) {
    sum.residentKb += row.residentKb;
    sum.sharedKb += row.sharedKb;
    sum.cleanKb += row.cleanKb;
    sum.anonymousKb += row.anonymousKb;
}

QList<MappingMemory> largestFirst(const QHash<QString, MappingMemory>& byName) {
    QList<MappingMemory> rows = byName.values();
    std::sort(rows.begin(), rows.end(),
              [](const MappingMemory& a, const MappingMemory& b) { return a.residentKb > b.residentKb; });
    return rows;
}

} // namespace

QList<MappingMemory> memoryByMapping(qint64 pid) {
    QFile smaps(QStringLiteral("/proc/%1/smaps").arg(pid));
    if (pid <= 0 || !smaps.open(QIODevice::ReadOnly)) return {};
    QHash<QString, MappingMemory> byName;
    MappingMemory* current = nullptr;
    for (const QByteArray& line : smaps.readAll().split('\n')) {
        const qsizetype colon = line.indexOf(':');
        const bool field = colon > 0 && !line.left(colon).contains('-') && !line.left(colon).contains(' ');
        if (!field) {
            if (line.isEmpty()) continue;
            const QString name = mappingName(line);
            current = &byName[name];
            current->name = name;
            continue;
        }
        if (!current) continue;
        const QByteArray key = line.left(colon);
        if (key == "Rss")
            current->residentKb += fieldKb(line);
        else if (key == "Shared_Clean") {
            current->sharedKb += fieldKb(line);
            current->cleanKb += fieldKb(line);
        } else if (key == "Shared_Dirty")
            current->sharedKb += fieldKb(line);
        else if (key == "Private_Clean")
            current->cleanKb += fieldKb(line);
        else if (key == "Anonymous")
            current->anonymousKb += fieldKb(line);
    }
    return largestFirst(byName);
}

void printMemoryComposition(const char* who, const QList<MappingMemory>& mappings, int rows) {
    if (mappings.isEmpty()) {
        std::printf("%s: resident memory by mapping not readable\n", who);
        return;
    }
    std::printf("%s, resident memory by family and by mapping (MiB)\n", who);
    std::printf("    %-44s %8s %8s %8s %8s\n", "", "resident", "shared", "clean", "anon");
    QHash<QString, MappingMemory> byFamily;
    MappingMemory total;
    for (const MappingMemory& row : mappings) {
        const QString name = QString::fromLatin1(family(row.name));
        MappingMemory& sum = byFamily[name];
        sum.name = name;
        add(sum, row);
        add(total, row);
    }
    for (const MappingMemory& row : largestFirst(byFamily))
        if (row.residentKb > 0) printRow(qPrintable(row.name), row);
    printRow("all", total);
    if (rows <= 0) return;
    std::printf("    by mapping:\n");
    MappingMemory rest;
    int restCount = 0;
    for (qsizetype i = 0; i < mappings.size(); ++i) {
        if (i < rows)
            printRow(qPrintable(mappings[i].name), mappings[i]);
        else if (mappings[i].residentKb > 0) {
            add(rest, mappings[i]);
            ++restCount;
        }
    }
    if (restCount > 0) printRow(qPrintable(QStringLiteral("%1 others").arg(restCount)), rest);
}

} // namespace bench

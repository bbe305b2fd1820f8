#pragma once
// What a process's resident memory is made of, from /proc/PID/smaps: each mapped file (or kind of
// anonymous memory) with its resident kB, split into pages shared with other processes and pages
// of the process's own. Printed by the start-up bench at the idle point, for the client and for
// linphonec, so that a change in the total can be traced to the library or the heap that made it.
#include <QString>
#include <QtGlobal>

namespace bench {

struct MappingMemory {
    QString name;         // file name without its folder, or "[heap]", "[anonymous]", "[stack]", …
    long residentKb = 0;  // Rss
    long sharedKb = 0;    // Shared_Clean + Shared_Dirty: pages other processes map too
    long cleanKb = 0;     // Shared_Clean + Private_Clean: pages the file could give back
    long anonymousKb = 0; // Anonymous: memory no file holds (heap, stacks, a library's written data)
};

// Every mapping of `pid` summed by name, largest first; empty when smaps cannot be read.
QList<MappingMemory> memoryByMapping(qint64 pid);

// Prints the sums by family of libraries, then the `rows` largest mappings and the rest as one
// line (no mappings when `rows` is 0).
void printMemoryComposition(const char* who, const QList<MappingMemory>& mappings, int rows = 24);

} // namespace bench

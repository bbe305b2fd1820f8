#include "chatserver/store/SqliteReaderLocks.h"

#include <array>
#include <cstdarg>
#include <fcntl.h>
#include <mutex>
#include <sqlite3.h>

namespace chatserver {

namespace {

// Where SQLite's Unix layer places the reader slots' locks in the index ("-shm") file: its
// locks start at byte 120, after the index header, and the slots are the fourth to eighth of
// them. The database file itself is locked a gigabyte in, never here.
constexpr off_t kFirstSlot = 123;
constexpr int kSlots = 5;

using Fcntl = int (*)(int, int, ...);
using Close = int (*)(int);

Fcntl g_fcntl = nullptr;
Close g_close = nullptr;

// The reader slots of one index file, a bit each.
struct KeptSlots {
    int fd = -1;
    unsigned kept = 0;  // this process holds the slot's shared lock; none: the entry is free
    unsigned inUse = 0; // and SQLite has not asked to give it back since it asked for it
};

// One entry per store file the process has open, so a handful; past that, the locks of another
// file are taken and given back as SQLite asks.
constexpr int kFiles = 8;

std::mutex g_mutex;
std::array<KeptSlots, kFiles> g_files;

KeptSlots* keptFor(int fd) {
    for (KeptSlots& file : g_files)
        if (file.kept != 0 && file.fd == fd) return &file;
    return nullptr;
}

KeptSlots* freeEntry() {
    for (KeptSlots& file : g_files)
        if (file.kept == 0) return &file;
    return nullptr;
}

// The slot a lock request covers alone, or -1 when it is any other range.
int slotOf(const struct flock& lock) {
    if (lock.l_whence != SEEK_SET || lock.l_len != 1) return -1;
    if (lock.l_start < kFirstSlot || lock.l_start >= kFirstSlot + kSlots) return -1;
    return int(lock.l_start - kFirstSlot);
}

// The slots a range touches, as bits (a length of 0 reaches to the end of the file).
unsigned slotsIn(const struct flock& lock) {
    if (lock.l_whence != SEEK_SET) return (1u << kSlots) - 1; // not SQLite's; forget them all
    unsigned bits = 0;
    for (int slot = 0; slot < kSlots; ++slot) {
        const off_t at = kFirstSlot + slot;
        if (at >= lock.l_start && (lock.l_len == 0 || at < lock.l_start + lock.l_len)) bits |= 1u << slot;
    }
    return bits;
}

// SQLite asks for a slot's shared lock only when none of its connections here holds it, and to
// give it back only when the last of them is done, so between the two the lock is in use.
int keepingFcntl(int fd, int command, ...) {
    va_list args;
    va_start(args, command);
    void* const argument = va_arg(args, void*);
    va_end(args);
    if (command != F_SETLK) return g_fcntl(fd, command, argument);
    auto* const lock = static_cast<struct flock*>(argument);
    const int slot = slotOf(*lock);
    const unsigned bit = slot >= 0 ? 1u << slot : 0;
    const std::lock_guard guard(g_mutex);
    KeptSlots* const file = keptFor(fd);
    if (file && (file->kept & bit)) {
        if (lock->l_type == F_RDLCK) {
            file->inUse |= bit;
            return 0;
        }
        if (lock->l_type == F_UNLCK) {
            file->inUse &= ~bit;
            return 0;
        }
    }
    const int result = g_fcntl(fd, command, argument);
    if (result != 0) return result; // a lock refused leaves those held as they were
    if (bit && lock->l_type == F_RDLCK) {
        if (KeptSlots* const entry = file ? file : freeEntry()) {
            entry->fd = fd;
            entry->kept |= bit;
            entry->inUse |= bit;
        }
    } else if (file) {
        const unsigned covered = slotsIn(*lock);
        file->kept &= ~covered;
        file->inUse &= ~covered;
    }
    return result;
}

// Closing any descriptor of a file gives back every record lock this process holds on it.
int keepingClose(int fd) {
    {
        const std::lock_guard guard(g_mutex);
        if (KeptSlots* const file = keptFor(fd)) *file = KeptSlots{};
    }
    return g_close(fd);
}

bool install() {
    sqlite3_vfs* const unix = sqlite3_vfs_find("unix");
    if (!unix || unix->iVersion < 3 || !unix->xGetSystemCall || !unix->xSetSystemCall) return false;
    auto* const fcntlCall = reinterpret_cast<Fcntl>(unix->xGetSystemCall(unix, "fcntl"));
    auto* const closeCall = reinterpret_cast<Close>(unix->xGetSystemCall(unix, "close"));
    if (!fcntlCall || !closeCall) return false;
    g_fcntl = fcntlCall;
    g_close = closeCall;
    if (unix->xSetSystemCall(unix, "close", reinterpret_cast<sqlite3_syscall_ptr>(&keepingClose)) != SQLITE_OK)
        return false;
    if (unix->xSetSystemCall(unix, "fcntl", reinterpret_cast<sqlite3_syscall_ptr>(&keepingFcntl)) != SQLITE_OK) {
        unix->xSetSystemCall(unix, "close", reinterpret_cast<sqlite3_syscall_ptr>(closeCall));
        return false;
    }
    return true;
}

} // namespace

bool keepSqliteReaderLocks() {
    static const bool installed = install();
    return installed;
}

void giveBackIdleSqliteReaderLocks() {
    const std::lock_guard guard(g_mutex);
    for (KeptSlots& file : g_files) {
        for (int slot = 0; slot < kSlots; ++slot) {
            const unsigned bit = 1u << slot;
            if (!(file.kept & bit) || (file.inUse & bit)) continue;
            struct flock lock {};
            lock.l_type = F_UNLCK;
            lock.l_whence = SEEK_SET;
            lock.l_start = kFirstSlot + slot;
            lock.l_len = 1;
            if (g_fcntl(file.fd, F_SETLK, &lock) == 0) file.kept &= ~bit;
        }
    }
}

} // namespace chatserver

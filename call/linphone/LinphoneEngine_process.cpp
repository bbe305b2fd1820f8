// What the engine sets up once per process, before its first core: liblinphone's logging, the
// SRTP library kept in use, and what the libraries it brings would load for nothing.
#include "call/linphone/LinphoneEngine.h"

#include <linphone++/linphone.hh>

#include <dlfcn.h>

// Counted: only the first call initialises the SRTP library and only the last shutdown ends it.
// Exported by the media library though not declared in its headers.
extern "C" int ms_srtp_init(void);

namespace rtc {

namespace {

// Hands `use` the entry `name` of `library` when the process has loaded that library already;
// loads nothing, and does nothing where the library is not loaded or has no such entry.
template <typename Entry, typename Use> void withLoadedEntry(const char* library, const char* name, Use use) {
    void* handle = ::dlopen(library, RTLD_LAZY | RTLD_NOLOAD);
    if (!handle) return;
    if (void* entry = ::dlsym(handle, name)) use(reinterpret_cast<Entry>(entry));
    ::dlclose(handle); // only the reference taken here: the library stays with those that loaded it
}

// liblinphone's XML parser sets up a network client for documents it might fetch, whose SSH part
// loads and registers every engine of OpenSSL when it is first used: 1.5 MiB of code and tables
// that nothing here uses (no document is fetched, and OpenSSL sets itself up on first use
// anyway). Taking that first use of the SSH library here, with its flag for leaving OpenSSL
// alone, leaves them out.
void keepOpenSslEnginesUnloaded() {
    withLoadedEntry<int (*)(int)>("libssh2.so.1", "libssh2_init", [](auto init) {
        constexpr int kNoCrypto = 0x0001; // LIBSSH2_INIT_NO_CRYPTO; its uses are counted
        init(kNoCrypto);
    });
}

// The SRTP library opens the crypto library (NSS) for each cipher it makes and closes it with the
// cipher; with no other use open, each close unloads NSS's software token and the next open loads
// and sets it up again, thirteen times over in the self-tests the window waits for at start-up.
// A use of our own held around them, opened as the SRTP library opens its own (no database),
// keeps the token loaded until they are done; closed then, it gives the token's memory back.
class CryptoTokenHold {
public:
    CryptoTokenHold() {
        using InitContext = void* (*)(const char*, const char*, const char*, const char*, void*, unsigned);
        withLoadedEntry<InitContext>(kLibrary, "NSS_InitContext", [this](InitContext init) {
            constexpr unsigned kWithoutDatabase = 0x1 | 0x2 | 0x4 | 0x8 | 0x20; // READONLY ... OPTIMIZESPACE
            m_context = init("", "", "", "", nullptr, kWithoutDatabase);
        });
    }
    ~CryptoTokenHold() {
        if (!m_context) return;
        withLoadedEntry<int (*)(void*)>(kLibrary, "NSS_ShutdownContext", [this](auto close) { close(m_context); });
    }
    CryptoTokenHold(const CryptoTokenHold&) = delete;
    CryptoTokenHold& operator=(const CryptoTokenHold&) = delete;

private:
    static constexpr char kLibrary[] = "libnss3.so";
    void* m_context = nullptr;
};

} // namespace

void LinphoneEngine::prepareProcess() {
    static const bool prepared = [] {
        linphone::LoggingService::get()->setLogLevel(linphone::LogLevel::Fatal);
        // Each media factory (one per core) initialises the SRTP library, which runs its
        // self-tests every time, most of the creation of a core, unless it is already in use.
        // One use held for the life of the process makes every engine after it quicker.
        {
            const CryptoTokenHold hold;
            ms_srtp_init();
        }
        keepOpenSslEnginesUnloaded();
        return true;
    }();
    (void)prepared;
}

} // namespace rtc

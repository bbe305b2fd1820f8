// The program's own poll(). Every executable that links this library defines it and exports it
// (see CMakeLists.txt), so the dynamic loader binds the engine's libraries to it rather than to
// the C library's.
#undef _FORTIFY_SOURCE // its inline poll() would clash with the definition here
#include "call/rtc/ScreenedPoll.h"

#include <ctime>
#include <dlfcn.h>
#include <poll.h>

namespace {

struct Screen {
    int fd = -1;
    rtc::PollScreen screen = nullptr;
    void* context = nullptr;
};

thread_local Screen t_screen;

} // namespace

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): the C library's names are reserved
extern "C" __attribute__((visibility("default"))) int poll(pollfd* fds, nfds_t count, int timeoutMs) {
    timespec timeout{timeoutMs / 1000, long(timeoutMs % 1000) * 1000000L};
    int ready = ::ppoll(fds, count, timeoutMs < 0 ? nullptr : &timeout, nullptr);
    const Screen screen = t_screen;
    if (screen.fd < 0 || ready <= 0) return ready;
    for (nfds_t i = 0; i < count; ++i) {
        pollfd& entry = fds[i];
        if (entry.fd != screen.fd || !(entry.revents & POLLIN)) continue;
        // Looked at now, after the poll: whatever is read next has been screened, since a
        // datagram that comes later waits behind the one left at the head.
        if (screen.screen(screen.context)) continue;
        entry.revents &= short(~POLLIN);
        if (entry.revents == 0) --ready;
    }
    return ready;
}

extern "C" __attribute__((visibility("default"))) bool colloqchat_set_poll_screen(int fd, rtc::PollScreen screen,
                                                                                  void* context) {
    t_screen = fd < 0 ? Screen{} : Screen{fd, screen, context};
    static const bool bound = ::dlsym(RTLD_DEFAULT, "poll") == reinterpret_cast<void*>(&poll); // looked up once
    return bound;
}

namespace rtc {

SetPollScreen programPollScreen() {
    // Found by name: a module's own copy of the setter is hidden from the loader, and would set a
    // screen no poll() the engine calls ever reads.
    return reinterpret_cast<SetPollScreen>(::dlsym(RTLD_DEFAULT, kSetPollScreenName));
}

} // namespace rtc

#pragma once
// The chat server benchmark's users, written straight into the store before the server starts:
// through the protocol a million contact rows took minutes, and ten million most of an hour.
// Each user talks from its own loopback address, lists its nearest neighbours on either side
// (who list it too, as real contacts mostly do) and is on line at its own call address.
#include "LoadGen.h"

#include <QString>
#include <functional>
#include <optional>
#include <vector>

namespace bench {

inline uint32_t userSource(int user) {
    return ipv4("127.1.0.0") + uint32_t(user / 200) * 256 + uint32_t(user % 200) + 1;
}
QString userPeer(int user); // userSource() as text, as the server sees it
QString userEmail(int user);
QString userCallAddress(int user);

struct Fill {
    std::vector<QString> ids; // by user number
    long long contacts = 0;
    double usersSeconds = 0;
    double contactsSeconds = 0;
};

// Writes `users` users with `contacts` contacts each into the store at `store` (an address as
// the server takes it); nullopt and a message on standard error when the store refuses.
std::optional<Fill> fillStore(const QString& store, int users, int contacts);

// Has every user poll `passes` times in turn (`pollOf` makes user N's poll), `inFlight` at once,
// for at most `seconds`: the figures after it are those of a server that has run for a while,
// every user on line and its list in memory. Returns the polls answered; `unanswered` the others.
long long pollEveryUser(LoadGen& chat, int inFlight, int users, int passes, double seconds,
                        const std::function<bool(int, Exchange&)>& pollOf, long long* unanswered);

} // namespace bench

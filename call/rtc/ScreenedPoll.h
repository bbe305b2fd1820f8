#pragma once
// liblinphone reads its SIP socket only after poll() has said the socket is readable, and then
// reads the one datagram at its head. The engine's guard looks at that socket before each turn
// of the engine, but a datagram that came between that look and the engine's own poll would be
// read unseen. So the program defines poll() itself (ScreenedPoll.cpp): while a screen is set on
// a thread, a poll there that finds the screened socket readable lets the screen take out what
// may not be read first, and reports the socket as not readable when nothing else is left. The
// engine then reads only a datagram that was screened.
//
// The engine may live in a module with its own copy of this library; the module finds the
// program's setter by name (programPollScreen), so that both use the one poll() the engine's
// libraries are bound to.
namespace rtc {

// Takes out what may not be read; true when the datagram left at the head may be.
using PollScreen = bool (*)(void* context);
// Sets `screen` for polls of this thread that watch `fd` for reading; -1 clears it. False when the
// engine's libraries do not poll through the program's poll() (the program was linked without
// exporting it), so that nothing would be screened.
using SetPollScreen = bool (*)(int fd, PollScreen screen, void* context);

inline constexpr char kSetPollScreenName[] = "colloqchat_set_poll_screen";

// The running program's setter; null when the program has no poll() of its own.
SetPollScreen programPollScreen();

} // namespace rtc

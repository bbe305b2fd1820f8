#pragma once
// The call engine as a module of its own. liblinphone and the hundred-odd libraries it brings
// take longer to load than the whole main window takes to build, and most of that time is spent
// by the dynamic loader on one thread; loaded from a module, it happens beside the window's
// start-up instead of before it.
#include "call/rtc/Rtc.h"

#include <QString>

namespace rtc {

inline constexpr char kEngineModuleFile[] = "colloqchat-engine.so";
inline constexpr char kEngineEntryName[] = "colloqchat_create_engine";
// Optional: what every engine would do first, done once on the loading thread.
inline constexpr char kEnginePrepareName[] = "colloqchat_prepare_engine";
// Raised whenever the engine interface changes, so that a module left over from another build
// is refused instead of called.
inline constexpr int kEngineInterfaceVersion = 2;

// The entry point that makes engines: puts a new engine into *engine, or leaves it empty when the
// interface versions differ or the engine cannot be made.
using EngineEntry = void (*)(int interfaceVersion, std::shared_ptr<IRTCClient2>* engine);

// The module's full path: in the library folder beside the program's once installed, else where
// the build put it. Needs the application object.
QString engineModulePath();

// Starts loading the module at `path` on a thread of its own and returns at once. The factory
// returned waits for the load (when it is not done yet) and then creates engines from the module;
// a module that could not be loaded gives no engine, and why is written to standard error.
ClientFactory loadEngineModule(const QString& path = engineModulePath());

} // namespace rtc

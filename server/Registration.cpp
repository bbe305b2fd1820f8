#include "server/Registration.h"

namespace basMain {

bool fnRegister(QStringList& /*arrFields*/) { return false; }

} // namespace basMain

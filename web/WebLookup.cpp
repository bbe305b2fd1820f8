#include "web/WebLookup.h"

namespace basMain {

QString fnGetHomeIP() { return {}; }
void fnUseAlternateSRV() {}

} // namespace basMain

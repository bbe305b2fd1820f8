#pragma once
// Moved to wire/SettingsLines.h; kept until the server includes it from there.
#include "wire/SettingsLines.h"

#pragma once
// Scrambling of the settings files and chat requests with the fixed key. Both procedures let
// pending events run after each character, as the program has always done, and work on a
// local copy that is assigned back at the end, so a handler that runs meanwhile never sees a
// half-scrambled text.
#include <QString>

namespace basEncrypt_Decrypt {

void EncryptText(QString& strText);
void DecryptText(QString& strText);

// The pause after each character, 1 ms in the program; tests shorten it.
void setCharacterPauseForTesting(unsigned milliseconds);
unsigned characterPause();

} // namespace basEncrypt_Decrypt

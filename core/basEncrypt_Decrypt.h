#pragma once
// Scrambling of the settings files and chat requests with the fixed key. Both procedures work on
// a local copy that is assigned back at the end, so a failure part way leaves the characters
// already handled changed and the rest as they were.
#include <QString>

namespace basEncrypt_Decrypt {

void EncryptText(QString& strText);
void DecryptText(QString& strText);

} // namespace basEncrypt_Decrypt

#pragma once
// An MD5 provider with the shape of the CryptoAPI calls the digest module makes: each call can
// fail, and tests can make any of them fail.
#include <QtGlobal>
#include <functional>

namespace crypto {

using HCRYPTPROV = quintptr;
using HCRYPTHASH = quintptr;

inline constexpr unsigned kCryptNewKeyset = 8;

bool CryptAcquireContext(HCRYPTPROV* provider, unsigned flags);
bool CryptReleaseContext(HCRYPTPROV provider);
bool CryptCreateHash(HCRYPTPROV provider, HCRYPTHASH* hash);
bool CryptHashData(HCRYPTHASH hash, const unsigned char* data, quint32 length);
// With `value` null, only the length is returned in `length`. Otherwise the digest is finished
// (no more data can be added), written to `value` and its size put in `length`; a buffer smaller
// than the digest fails with the needed size in `length`. Handles are checked: a released or
// unknown one makes any call fail.
bool CryptGetHashParam(HCRYPTHASH hash, unsigned char* value, quint32* length);
bool CryptDestroyHash(HCRYPTHASH hash);

enum class Call { AcquireContext, AcquireContextNewKeyset, CreateHash, HashData, GetHashLength, GetHashValue };
// The predicate is asked before each call; returning true makes that call fail.
void setFailureForTesting(std::function<bool(Call)> shouldFail); // empty: nothing fails
// Makes the length query report `length` bytes instead of the digest's size; negative restores it.
void setReportedHashLengthForTesting(int length);
// Number of provider contexts and hash objects currently held (for leak checks in tests).
int openHandleCount();

} // namespace crypto

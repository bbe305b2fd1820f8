#include "platform/crypto.h"

#include <openssl/evp.h>

#include <QByteArray>
#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

namespace crypto {

namespace {

struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

struct HashObject {
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx;
    // Set once the value has been read: the digest is closed to further data, and reading the
    // value again gives the same bytes.
    bool finished = false;
    QByteArray value;
};

// Handles are plain numbers looked up in tables, so a stale or made-up handle is refused
// instead of being dereferenced.
struct State {
    std::mutex mutex;
    quintptr nextHandle = 0x1000;
    std::map<HCRYPTPROV, bool> providers;
    std::map<HCRYPTHASH, HashObject> hashes;
    std::function<bool(Call)> shouldFail;
    int reportedLength = -1;
};

State& state() {
    static State s;
    return s;
}

bool injectedFailure(const State& s, Call call) {
    return s.shouldFail && s.shouldFail(call);
}

} // namespace

bool CryptAcquireContext(HCRYPTPROV* provider, unsigned flags) {
    if (provider == nullptr) return false;
    *provider = 0;
    State& s = state();
    std::lock_guard lock(s.mutex);
    const Call call = (flags & kCryptNewKeyset) != 0 ? Call::AcquireContextNewKeyset : Call::AcquireContext;
    if (injectedFailure(s, call)) return false;
    const HCRYPTPROV handle = s.nextHandle++;
    s.providers.emplace(handle, true);
    *provider = handle;
    return true;
}

bool CryptReleaseContext(HCRYPTPROV provider) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.providers.erase(provider) == 1;
}

bool CryptCreateHash(HCRYPTPROV provider, HCRYPTHASH* hash) {
    if (hash == nullptr) return false;
    *hash = 0;
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.providers.contains(provider)) return false;
    if (injectedFailure(s, Call::CreateHash)) return false;
    HashObject object;
    object.ctx.reset(EVP_MD_CTX_new());
    if (!object.ctx || EVP_DigestInit_ex(object.ctx.get(), EVP_md5(), nullptr) != 1) return false;
    const HCRYPTHASH handle = s.nextHandle++;
    s.hashes.emplace(handle, std::move(object));
    *hash = handle;
    return true;
}

bool CryptHashData(HCRYPTHASH hash, const unsigned char* data, quint32 length) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    const auto it = s.hashes.find(hash);
    if (it == s.hashes.end() || it->second.finished) return false;
    if (data == nullptr && length > 0) return false;
    if (injectedFailure(s, Call::HashData)) return false;
    return EVP_DigestUpdate(it->second.ctx.get(), data, length) == 1;
}

bool CryptGetHashParam(HCRYPTHASH hash, unsigned char* value, quint32* length) {
    if (length == nullptr) return false;
    State& s = state();
    std::lock_guard lock(s.mutex);
    const auto it = s.hashes.find(hash);
    if (it == s.hashes.end()) return false;
    HashObject& object = it->second;
    if (value == nullptr) {
        if (injectedFailure(s, Call::GetHashLength)) return false;
        const int size = s.reportedLength >= 0 ? s.reportedLength : EVP_MD_get_size(EVP_md5());
        *length = static_cast<quint32>(size);
        return true;
    }
    if (injectedFailure(s, Call::GetHashValue)) return false;
    if (!object.finished) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        if (EVP_DigestFinal_ex(object.ctx.get(), digest, &size) != 1) return false;
        object.value = QByteArray(reinterpret_cast<const char*>(digest), static_cast<qsizetype>(size));
        object.finished = true;
    }
    const auto needed = static_cast<quint32>(object.value.size());
    if (*length < needed) {
        // Too small a buffer: tell the caller how much is needed and write nothing.
        *length = needed;
        return false;
    }
    std::copy(object.value.cbegin(), object.value.cend(), reinterpret_cast<char*>(value));
    *length = needed;
    return true;
}

bool CryptDestroyHash(HCRYPTHASH hash) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.hashes.erase(hash) == 1;
}

void setFailureForTesting(std::function<bool(Call)> shouldFail) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.shouldFail = std::move(shouldFail);
}

void setReportedHashLengthForTesting(int length) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.reportedLength = length;
}

int openHandleCount() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return static_cast<int>(s.providers.size() + s.hashes.size());
}

} // namespace crypto

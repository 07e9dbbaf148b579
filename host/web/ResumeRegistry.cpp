#include "penwell/host/web/ResumeRegistry.h"

#include <openssl/rand.h>

#include <utility>

namespace penwell::web {

Result<std::string> ResumeRegistry::newToken() {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        return Failure{kResumeErrorDomain, 1, "no random bytes for a resume token"};
    }
    std::string out;
    for (const unsigned char b : bytes) {
        out += "0123456789abcdef"[b >> 4];
        out += "0123456789abcdef"[b & 15];
    }
    return out;
}

void ResumeRegistry::add(const std::string& token, const std::weak_ptr<Pad>& pad) {
    std::lock_guard lock(mutex_);
    std::erase_if(pads_, [](const auto& p) { return p.second.expired(); });
    pads_[token] = pad;
}

std::shared_ptr<Pad> ResumeRegistry::claim(const std::string& token) {
    std::lock_guard lock(mutex_);
    std::shared_ptr<Pad> pad;
    if (const auto it = pads_.find(token); it != pads_.end()) {
        pad = it->second.lock();
    }
    parked_.erase(token);  // a parked pad lives on in `pad`: its weak entry above was alive
    return pad;
}

void ResumeRegistry::park(const std::string& token, std::shared_ptr<Pad> pad) {
    std::lock_guard lock(mutex_);
    parked_[token] = std::move(pad);
}

bool ResumeRegistry::expire(const std::string& token) {
    std::shared_ptr<Pad> letGo;  // goes after the lock: a pad that goes releases its place
    std::lock_guard lock(mutex_);
    const auto it = parked_.find(token);
    if (it == parked_.end()) {
        return false;
    }
    letGo = std::move(it->second);
    parked_.erase(it);
    return true;
}

std::map<std::string, std::shared_ptr<Pad>> ResumeRegistry::takeParked() {
    std::lock_guard lock(mutex_);
    return std::exchange(parked_, {});
}

}  // namespace penwell::web

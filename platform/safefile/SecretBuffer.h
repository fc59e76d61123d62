#pragma once

// Passwords and PINs in memory: overwritten before the memory is given back
// (OPENSSL_cleanse, which the compiler may not leave out as a dead store),
// so that a later allocation, a swap file or a memory dump finds nothing.
// Plain C++ without Qt, for the window and the SDK tools alike.

#include <openssl/crypto.h>

#include <string>
#include <utility>

namespace safefile {

// Overwrites all that the string's buffer may hold (its whole capacity, so
// bytes of a longer earlier value too) and empties it.
inline void wipeSecret(std::string &secret)
{
    secret.resize(secret.capacity());
    if (!secret.empty())
        OPENSSL_cleanse(secret.data(), secret.size());
    secret.clear();
}

// A secret that wipes itself when it goes. Not copyable, so that no copy
// is made by accident; a move leaves the source empty.
class SecretBuffer {
public:
    SecretBuffer() = default;
    explicit SecretBuffer(std::string &&secret) : m_bytes(std::move(secret)) { wipeSecret(secret); }
    ~SecretBuffer() { wipeSecret(m_bytes); }
    SecretBuffer(const SecretBuffer &) = delete;
    SecretBuffer &operator=(const SecretBuffer &) = delete;
    SecretBuffer(SecretBuffer &&other) noexcept : m_bytes(std::move(other.m_bytes)) { other.m_bytes.clear(); }
    SecretBuffer &operator=(SecretBuffer &&other) noexcept
    {
        if (this != &other) {
            wipeSecret(m_bytes);
            m_bytes.swap(other.m_bytes);
        }
        return *this;
    }

    std::string &bytes() { return m_bytes; }
    const std::string &bytes() const { return m_bytes; }
    bool empty() const { return m_bytes.empty(); }

private:
    std::string m_bytes;
};

// Wipes a string it does not own when the scope ends, however it ends.
class SecretWiper {
public:
    explicit SecretWiper(std::string &secret) : m_secret(secret) {}
    ~SecretWiper() { wipeSecret(m_secret); }
    SecretWiper(const SecretWiper &) = delete;
    SecretWiper &operator=(const SecretWiper &) = delete;

private:
    std::string &m_secret;
};

} // namespace safefile

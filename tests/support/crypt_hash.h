#pragma once
#include <crypt.h>

#include <cstring>
#include <string>

// A crypt(3) hash of `password` of the kind `prefix` names ("$2b$", "$6$",
// "$y$", ...) with a fresh salt; empty when libcrypt does not make that kind.
inline std::string CryptHash(const char* prefix, const std::string& password)
{
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn(prefix, 0, nullptr, 0, salt, sizeof salt) == nullptr) return {};
    crypt_data data;
    std::memset(&data, 0, sizeof data);
    const char* hashed = crypt_r(password.c_str(), salt, &data);
    return hashed != nullptr ? hashed : "";
}

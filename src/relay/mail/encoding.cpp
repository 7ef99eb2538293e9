// encoding.cpp - Base64 and the SASL answers built on it.
#include "relay/mail/encoding.h"

namespace mail {

std::string Base64(std::string_view bytes) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        unsigned n = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kAlphabet[n & 63] : '=';
    }
    return out;
}

Secret PlainResponse(std::string_view user, std::string_view password) {
    Secret raw(std::string(1, '\0') + std::string(user) + '\0' + std::string(password));
    return Secret(Base64(raw.Reveal()));
}

Secret XOAuth2Response(std::string_view user, std::string_view token) {
    Secret raw("user=" + std::string(user) + "\x01" + "auth=Bearer " + std::string(token) +
               "\x01\x01");
    return Secret(Base64(raw.Reveal()));
}

}  // namespace mail

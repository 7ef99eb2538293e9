// encoding.h - Base64 and the SASL login answers of both sessions (POP3 XOAUTH2; SMTP PLAIN,
// LOGIN and XOAUTH2). An answer holds the secret: it is a Secret, wiped when it goes.
#pragma once

#include <string>
#include <string_view>

#include "relay/secret.h"

namespace mail {

std::string Base64(std::string_view bytes);
// SASL answers: PLAIN is "\0user\0password", XOAUTH2 "user=U\x01auth=Bearer T\x01\x01".
Secret PlainResponse(std::string_view user, std::string_view password);
Secret XOAuth2Response(std::string_view user, std::string_view token);

}  // namespace mail

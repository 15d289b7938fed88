// The web password's file beside the history (HISTORY.web-password): one
// line, the Argon2id hash (login.h), only this user may read it.
#pragma once

#include <string>
#include <string_view>

#include "web/platform.h"

namespace dialscope::web {

std::string PasswordFile(const std::string& historyPath);
// Sets the password: its hash written to path (0600, whole or not at all).
bool SavePassword(const std::string& path, std::string_view password, std::string* problem);
// Found with *hash; Missing when no password is set; Refused with *problem.
SecretFile LoadPassword(const std::string& path, std::string* hash, std::string* problem);

}  // namespace dialscope::web

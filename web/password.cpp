#include "web/password.h"

#include "web/login.h"

namespace dialscope::web {

std::string PasswordFile(const std::string& historyPath) { return historyPath + ".web-password"; }

bool SavePassword(const std::string& path, std::string_view password, std::string* problem) {
    std::string hash;
    return HashPassword(password, &hash, problem) && WriteSecretFile(path, "web password", hash + "\n", problem);
}

SecretFile LoadPassword(const std::string& path, std::string* hash, std::string* problem) {
    const SecretFile found = ReadSecretFile(path, "the web password", hash, problem);
    if (found != SecretFile::Found) return found;
    while (!hash->empty() && (hash->back() == '\n' || hash->back() == '\r')) hash->pop_back();
    if (LooksLikePasswordHash(*hash)) return SecretFile::Found;
    *problem = "The web password file " + path + " holds no password hash. Set the password again with "
               "dialscope-cli passwd.";
    return SecretFile::Refused;
}

}  // namespace dialscope::web

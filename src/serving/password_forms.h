// Passwords as local users' clients send them: quelma.cfg keeps a password in Windows-1251, and
// a mail program sends what its user typed either so (older programs) or as UTF-8 (what SASL
// PLAIN asks for, and what phones and most programs of today send). Both are the password.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quelma::serving {

// The stored password and, when it has letters beyond ASCII, its UTF-8 form: the keys a
// digest login (APOP, CRAM-MD5) may have been made with.
std::vector<std::string> PasswordForms(const std::string& stored);

// Whether `given` is the stored password in one of its forms, ASCII letters' case aside (as
// the servers have always compared).
bool PasswordMatches(std::string_view given, const std::string& stored);

}  // namespace quelma::serving

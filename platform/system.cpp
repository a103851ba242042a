#include "platform/system.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "platform/charset.h"

namespace platform {

std::string UserName() {
  const char* user = std::getenv("USER");
  if (user && *user) return TextFromUtf8(user);
  if (const passwd* pw = ::getpwuid(::getuid())) {
    if (pw->pw_name) return TextFromUtf8(pw->pw_name);
  }
  return "";
}

int32_t ProcessorCount() {
  unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int32_t>(n);
}

}  // namespace platform

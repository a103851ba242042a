// Facts about the user and the machine.
#pragma once
#include <cstdint>
#include <string>

namespace platform {

// The login name: $USER, else the password database's name, else "".
std::string UserName();
// Number of hardware threads; at least 1.
int32_t ProcessorCount();

}  // namespace platform

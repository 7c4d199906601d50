#pragma once

#include <cstdint>
#include <string>

namespace platform {

using FourCharCode = std::uint32_t;

// 'abcd' as the platform spells four-character codes: first character in the high byte.
constexpr FourCharCode fourCC(const char (&code)[5]) {
  return (static_cast<FourCharCode>(static_cast<unsigned char>(code[0])) << 24) |
         (static_cast<FourCharCode>(static_cast<unsigned char>(code[1])) << 16) |
         (static_cast<FourCharCode>(static_cast<unsigned char>(code[2])) << 8) |
         static_cast<FourCharCode>(static_cast<unsigned char>(code[3]));
}

// The four characters again, as logs and messages show a code.
inline std::string fourCCText(FourCharCode code) {
  return {static_cast<char>(code >> 24), static_cast<char>(code >> 16),
          static_cast<char>(code >> 8), static_cast<char>(code)};
}

}  // namespace platform

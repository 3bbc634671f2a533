// Exact integer square and cube roots over the whole 64-bit range.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

namespace combinatorial {

namespace detail {
constexpr std::uint8_t floor_sqrt_u16(std::uint32_t x) noexcept {
  std::uint32_t r = 0;
  while ((r + 1) * (r + 1) <= x) ++r;
  return static_cast<std::uint8_t>(r);
}

// Entry i is floor(sqrt(256 * (i + 65) - 1)): the root of the largest 16-bit
// number whose top byte is i + 64.
constexpr std::array<std::uint8_t, 192> make_isqrt64_tab() noexcept {
  std::array<std::uint8_t, 192> tab{};
  for (std::uint32_t i = 0; i < 192; ++i) tab[i] = floor_sqrt_u16(256 * (i + 65) - 1);
  return tab;
}
}  // namespace detail

inline constexpr std::array<std::uint8_t, 192> isqrt64_tab = detail::make_isqrt64_tab();

// floor(sqrt(x)) for x != 0 (countl_zero(0) would make the shift meaningless).
// Integer arithmetic only: an 8-bit table estimate refined by two Newton-type
// steps, each doubling the correct bits (8 -> 16 -> 32), then one correction.
constexpr std::uint32_t isqrt64_nozero(std::uint64_t x) noexcept {
  const int s = std::countl_zero(x) & ~1;
  const std::uint64_t y = x << s;  // top byte now in 64..255
  const std::uint32_t u = isqrt64_tab[(y >> 56) - 64];
  const std::uint32_t v = 128 * u + static_cast<std::uint32_t>((y >> 41) / u);
  std::uint32_t w = static_cast<std::uint32_t>(32768ull * v + (y >> 17) / v);
  if (static_cast<std::uint64_t>(w) * w > y) --w;
  return w >> (s / 2);
}

// floor(cbrt(x)) for every x, by the bitwise method: three bits of x per step.
constexpr std::uint32_t icbrt64(std::uint64_t x) noexcept {
  std::uint32_t y = 0;
  for (int s = 63; s >= 0; s -= 3) {
    y *= 2;
    const std::uint64_t b = 3ull * y * (y + 1ull) + 1;
    if ((x >> s) >= b) {
      x -= b << s;
      ++y;
    }
  }
  return y;
}

}  // namespace combinatorial

#pragma once
// One process-wide pseudo-random source, seeded once, safe from any thread.

#include <cstdint>
#include <string>
#include <string_view>

namespace ot {

// A value in [0, bound); bound must be positive.
std::uint32_t RandomBelow(std::uint32_t bound);
// count characters drawn independently from alphabet.
std::string RandomString(std::string_view alphabet, std::size_t count);
// Reseeds the source (tests that need a repeatable sequence).
void SeedRandom(std::uint64_t seed);

} // namespace ot

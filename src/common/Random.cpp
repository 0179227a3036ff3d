#include "common/Random.h"

#include <mutex>
#include <random>

namespace ot {

namespace {
std::mutex gMutex;
std::mt19937_64& Engine() {
    static std::mt19937_64 engine = [] {
        std::random_device rd;
        std::seed_seq seq{rd(), rd(), rd(), rd()};
        return std::mt19937_64(seq);
    }();
    return engine;
}
} // namespace

std::uint32_t RandomBelow(std::uint32_t bound) {
    std::lock_guard lock(gMutex);
    std::uniform_int_distribution<std::uint32_t> dist(0, bound - 1);
    return dist(Engine());
}

std::string RandomString(std::string_view alphabet, std::size_t count) {
    std::string out;
    out.reserve(count);
    std::lock_guard lock(gMutex);
    std::uniform_int_distribution<std::size_t> dist(0, alphabet.size() - 1);
    for (std::size_t i = 0; i < count; ++i)
        out += alphabet[dist(Engine())];
    return out;
}

void SeedRandom(std::uint64_t seed) {
    std::lock_guard lock(gMutex);
    Engine().seed(seed);
}

} // namespace ot

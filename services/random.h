// The run's random sources: one seedable Mersenne Twister shared by the whole run, and the
// operating system's cryptographic generator for /secure. The generator keeps this system's own
// conventions, so its sequences differ from the textbook MT19937 for the same seed: every right
// shift propagates the sign of a 32-bit word, and seeding leaves the index at the first word, so
// the first 624 outputs are the tempered seeded words (no twist before them). Every output lies
// in 0 .. 0x7FFFFFFF.
#pragma once

#include <cstddef>
#include <cstdint>

namespace random_ {

// The seed that start-up uses; random/seed with it replays the start-up sequence.
constexpr uint32_t kStartSeed = 19650218u;

// Seeds the generator with kStartSeed and sets the run's hash seed (hashtable::seed).
void init();
// Restarts the sequence from a 32-bit seed.
void seed(uint32_t seed);
// Next output of the seeded generator, 0 .. 0x7FFFFFFF.
int32_t next();
// 31 bits from the cryptographic source, 0 .. 0x7FFFFFFF.
int32_t secure_next();
// Fills a buffer from the cryptographic source; raises internal feature-na when the system has
// none to give.
void secure_bytes(void* buffer, size_t length);
// 0 for n = 0; 1 .. n for n > 0; n .. -1 for n < 0; unbiased (draws above the largest multiple
// of |n| are drawn again). From the cryptographic source when secure is set.
int32_t int_(bool secure, int32_t n);

}  // namespace random_

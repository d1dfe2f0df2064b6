#include "services/random.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

#include "runtime/fire.h"
#include "runtime/hashtable.h"

namespace random_ {

namespace {

constexpr int kWords = 624;
constexpr int kMiddle = 397;
constexpr uint32_t kMatrix = 0x9908B0DFu;

// The hash seed of the run. Constant across runs too, so that random/seed of a series (which
// hashes its contents) restarts the same sequence in every run.
constexpr uint32_t kHashSeed = 0x2C1B3C6Du;

uint32_t state[kWords];
int position = kWords;

// Right shift of the word read as a signed 32-bit value (the sign fills in from the left).
inline uint32_t sar(uint32_t x, int n) { return static_cast<uint32_t>(static_cast<int32_t>(x) >> n); }

void twist() {
    for (int i = 0; i < kWords; i++) {
        uint32_t following = state[(i + 1) % kWords];
        uint32_t y = (state[i] & 0x80000000u) | (following & 0x7FFFFFFFu);
        state[i] = state[(i + kMiddle) % kWords] ^ sar(y, 1) ^ ((following & 1u) ? kMatrix : 0u);
    }
    position = 0;
}

bool read_urandom(uint8_t* out, size_t length) {
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::read(fd, out + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    return done == length;
}

}  // namespace

void init() {
    seed(kStartSeed);
    hashtable::seed = kHashSeed;
}

void seed(uint32_t s) {
    state[0] = s;
    for (int i = 1; i < kWords; i++) {
        uint32_t p = state[i - 1];
        state[i] = 1812433253u * (p ^ sar(p, 30)) + static_cast<uint32_t>(i);
    }
    position = 0;
}

int32_t next() {
    if (position >= kWords) twist();
    uint32_t y = state[position++];
    y ^= sar(y, 11);
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    y ^= sar(y, 18);  // clears the top bit whatever it was
    return static_cast<int32_t>(y);
}

void secure_bytes(void* buffer, size_t length) {
    auto* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::getrandom(out + done, length - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // no getrandom on this kernel: fall back to the device
        done += static_cast<size_t>(n);
    }
    if (done < length && !read_urandom(out + done, length - done)) fire(err::internal::feature_na);
}

int32_t secure_next() {
    uint32_t r = 0;
    secure_bytes(&r, sizeof r);
    return static_cast<int32_t>(r & 0x7FFFFFFFu);
}

int32_t int_(bool secure, int32_t n) {
    if (n == 0) return 0;
    if (n == INT32_MIN) return -1 - (secure ? secure_next() : next());
    int32_t m = n < 0 ? -n : n;
    int32_t limit = (0x7FFFFFFF / m) * m;
    int32_t r;
    do r = secure ? secure_next() : next();
    while (r >= limit);
    int32_t k = r % m + 1;
    return n < 0 ? -k : k;
}

}  // namespace random_

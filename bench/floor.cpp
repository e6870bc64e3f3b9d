// How fast could a Shorten stream be decoded on this machine at all? Two
// reference loops, built by bench/run.py and timed in the same run as the
// module:
//
//   parse  reads every code of the stream once (commands, widths, predictor
//          coefficients, residuals) and keeps nothing but a checksum: the
//          cost of reading each code once, the floor for any decoder;
//   lean   parse plus reconstruction into interleaved 16-bit samples, in
//          unchecked 32/64-bit arithmetic: what a decoder that trusts its
//          input would cost.
//
// Both assume a well-formed stream (the benchmark's own), pad the buffer so
// that 64-bit loads never leave it, and check nothing else: they are
// yardsticks, not decoders.
//
//   floor STREAM [REPS] [--write OUT]   prints one JSON object;
//                                       OUT gets lean's PCM (for a check).
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// MSB-first bits from a 64-bit cache that is topped up with one unaligned
// load only when it runs low, so that most codes cost a count of leading
// zeros and two shifts. The top `valid` bits of `cache` are the stream's
// next bits; the bits below them are zero or the stream's own.
struct Reader {
    const std::uint8_t* data;
    std::size_t next;  // the next byte to move into the cache
    std::uint64_t cache = 0;
    unsigned valid = 0;

    Reader(const std::uint8_t* d, std::size_t start) : data(d), next(start) { top_up(); }

    void top_up() {
        std::uint64_t w;
        std::memcpy(&w, data + next, 8);
        cache |= __builtin_bswap64(w) >> valid;
        next += (63 - valid) >> 3;
        valid |= 56;
    }
    // A run longer than the cache, or a code that does not fit it: rare.
    [[gnu::noinline]] std::uint64_t uvar_slow(unsigned n) {
        std::uint64_t q = 0;
        for (;;) {
            top_up();
            if (cache != 0) break;
            q += valid;
            cache = 0;
            valid = 0;
        }
        const unsigned z = static_cast<unsigned>(std::countl_zero(cache));
        q += z;
        cache <<= z + 1;
        valid -= z + 1;
        top_up();
        const std::uint64_t low = n ? cache >> (64 - n) : 0;
        cache = n ? cache << n : cache;
        valid -= n;
        return (q << n) | low;
    }
    std::uint64_t uvar(unsigned n) {
        if (valid < 32) top_up();
        const unsigned z = static_cast<unsigned>(std::countl_zero(cache));
        const unsigned length = z + 1 + n;
        if (length > valid) return uvar_slow(n);
        const std::uint64_t low = ((cache << (z + 1)) >> 1) >> (63 - n);
        cache <<= length;
        valid -= length;
        return (std::uint64_t{z} << n) | low;
    }
    std::int64_t var(unsigned n) {
        const std::uint64_t u = uvar(n);
        return static_cast<std::int64_t>(u >> 1) ^ -static_cast<std::int64_t>(u & 1);
    }
    std::uint64_t ulong() { return uvar(static_cast<unsigned>(uvar(2))); }
};

struct Header {
    unsigned type, channels, blocksize, maxnlpc, nmean;
};

Header read_header(Reader& r) {
    Header h{};
    h.type = static_cast<unsigned>(r.ulong());
    h.channels = static_cast<unsigned>(r.ulong());
    h.blocksize = static_cast<unsigned>(r.ulong());
    h.maxnlpc = static_cast<unsigned>(r.ulong());
    h.nmean = static_cast<unsigned>(r.ulong());
    const std::uint64_t nskip = r.ulong();
    for (std::uint64_t i = 0; i < nskip; ++i) r.uvar(1);
    return h;
}

// Reads every code; returns a checksum so that nothing is optimised away.
std::uint64_t parse(const std::uint8_t* data, std::uint64_t& samples) {
    Reader r(data, 5);
    Header h = read_header(r);
    std::uint64_t sum = 0;
    samples = 0;
    for (;;) {
        const unsigned cmd = static_cast<unsigned>(r.uvar(2));
        switch (cmd) {
            case 0:
            case 1:
            case 2:
            case 3:
            case 7: {
                const unsigned e = static_cast<unsigned>(r.uvar(3)) + 1;
                if (cmd == 7) {
                    const unsigned p = static_cast<unsigned>(r.uvar(2));
                    for (unsigned k = 0; k < p; ++k) sum += static_cast<std::uint64_t>(r.var(6));
                }
                for (unsigned i = 0; i < h.blocksize; ++i) sum += static_cast<std::uint64_t>(r.var(e));
                samples += h.blocksize;
                break;
            }
            case 4: return sum;
            case 5: h.blocksize = static_cast<unsigned>(r.ulong()); break;
            case 6: r.uvar(2); break;
            case 8: samples += h.blocksize; break;
            case 9: {
                const auto n = r.uvar(5);
                for (std::uint64_t i = 0; i < n; ++i) r.uvar(8);
                break;
            }
            default: return sum;
        }
    }
}

// Reads and reconstructs; fills `out` with interleaved 16-bit samples.
void lean(const std::uint8_t* data, std::vector<std::int16_t>& out) {
    Reader r(data, 5);
    Header h = read_header(r);
    const unsigned hist = std::max(3u, h.maxnlpc);
    const unsigned C = h.channels;
    // Per channel: `hist` history values, then the block being decoded.
    std::vector<std::vector<std::int32_t>> buf(C);
    std::vector<std::vector<std::int16_t>> chan(C);
    std::vector<std::vector<std::int64_t>> means(C);
    for (unsigned c = 0; c < C; ++c) chan[c].reserve(out.capacity() / C + h.blocksize);
    unsigned c = 0, shift = 0;
    std::int32_t coef[1024];
    for (;;) {
        const unsigned cmd = static_cast<unsigned>(r.uvar(2));
        if (cmd == 4) break;
        if (cmd == 5) {
            h.blocksize = static_cast<unsigned>(r.ulong());
            continue;
        }
        if (cmd == 6) {
            shift = static_cast<unsigned>(r.uvar(2));
            continue;
        }
        if (cmd == 9) {
            const auto n = r.uvar(5);
            for (std::uint64_t i = 0; i < n; ++i) r.uvar(8);
            continue;
        }
        const unsigned n = h.blocksize;
        auto& b = buf[c];
        if (b.size() < hist + n) b.resize(hist + n);
        std::int32_t* s = b.data() + hist;
        std::int64_t mu = 0;
        if (h.nmean) {
            const auto& m = means[c];
            std::int64_t acc = 0;
            for (std::size_t i = m.size() > h.nmean ? m.size() - h.nmean : 0; i < m.size(); ++i) acc += m[i];
            mu = ((acc + h.nmean / 2) / static_cast<std::int64_t>(h.nmean)) >> shift;
        }
        if (cmd == 8) {
            std::fill(s, s + n, 0);
        } else {
            const unsigned e = static_cast<unsigned>(r.uvar(3)) + 1;
            const std::ptrdiff_t len = n;  // signed: s[i - k] reaches into the history
            switch (cmd) {
                case 0:
                    for (std::ptrdiff_t i = 0; i < len; ++i) s[i] = static_cast<std::int32_t>(r.var(e) + mu);
                    break;
                case 1:
                    for (std::ptrdiff_t i = 0; i < len; ++i) s[i] = static_cast<std::int32_t>(r.var(e)) + s[i - 1];
                    break;
                case 2:
                    for (std::ptrdiff_t i = 0; i < len; ++i)
                        s[i] = static_cast<std::int32_t>(r.var(e)) + 2 * s[i - 1] - s[i - 2];
                    break;
                case 3:
                    for (std::ptrdiff_t i = 0; i < len; ++i)
                        s[i] = static_cast<std::int32_t>(r.var(e)) + 3 * (s[i - 1] - s[i - 2]) + s[i - 3];
                    break;
                case 7: {
                    const unsigned p = static_cast<unsigned>(r.uvar(2));
                    for (unsigned k = 0; k < p; ++k) coef[k] = static_cast<std::int32_t>(r.var(6));
                    const std::int32_t m32 = static_cast<std::int32_t>(mu);
                    for (std::ptrdiff_t i = 0; i < len; ++i) {
                        std::int64_t acc = 32;
                        for (unsigned k = 0; k < p; ++k)
                            acc += std::int64_t{coef[k]} * (s[i - 1 - static_cast<std::ptrdiff_t>(k)] - m32);
                        s[i] = static_cast<std::int32_t>(r.var(e) + (acc >> 5) + mu);
                    }
                    break;
                }
                default: return;
            }
        }
        if (h.nmean) {
            std::int64_t acc = 0;
            for (unsigned i = 0; i < n; ++i) acc += s[i];
            means[c].push_back(
                shift >= 32 ? 0 : ((acc + n / 2) / static_cast<std::int64_t>(n)) * (std::int64_t{1} << shift));
        }
        auto& o = chan[c];
        for (unsigned i = 0; i < n; ++i) {
            std::int64_t v = std::int64_t{s[i]} << shift;
            o.push_back(static_cast<std::int16_t>(std::clamp<std::int64_t>(v, -32768, 32767)));
        }
        std::memmove(b.data(), b.data() + n, hist * sizeof(std::int32_t));  // n >= hist here
        c = (c + 1) % C;
    }
    std::size_t frames = chan[0].size();
    for (unsigned k = 1; k < C; ++k) frames = std::min(frames, chan[k].size());
    out.resize(frames * C);
    for (std::size_t f = 0; f < frames; ++f)
        for (unsigned k = 0; k < C; ++k) out[f * C + k] = chan[k][f];
}

// Wall and CPU time (this process's user + system), in seconds.
struct Stamp {
    double wall, cpu;
};

Stamp now() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return {std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(),
            static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9};
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: floor STREAM [REPS] [--write OUT]\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const int reps = argc > 2 && argv[2][0] != '-' ? std::stoi(argv[2]) : 7;
    const char* write = nullptr;
    for (int i = 2; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--write") write = argv[i + 1];
    const std::size_t size = bytes.size();
    bytes.resize(size + 16, 0);

    std::vector<double> tp, tl, cp, cl;
    std::uint64_t samples = 0, sum = 0;
    std::vector<std::int16_t> out;
    for (int i = 0; i < reps; ++i) {
        Stamp t0 = now();
        sum += parse(bytes.data(), samples);
        Stamp t1 = now();
        tp.push_back(t1.wall - t0.wall);
        cp.push_back(t1.cpu - t0.cpu);
        std::vector<std::int16_t> o;
        o.reserve(samples);
        t0 = now();
        lean(bytes.data(), o);
        t1 = now();
        tl.push_back(t1.wall - t0.wall);
        cl.push_back(t1.cpu - t0.cpu);
        out.swap(o);
    }
    if (write) {
        std::FILE* f = std::fopen(write, "wb");
        std::fwrite(out.data(), 2, out.size(), f);
        std::fclose(f);
    }
    std::printf(
        "{\"stream_bytes\": %zu, \"samples\": %llu, \"parse_s\": %.9f, \"lean_s\": %.9f, "
        "\"parse_cpu_s\": %.9f, \"lean_cpu_s\": %.9f, \"reps\": %d, \"checksum\": %llu}\n",
        size, static_cast<unsigned long long>(samples), median(tp), median(tl), median(cp), median(cl), reps,
        static_cast<unsigned long long>(sum));
    return 0;
}

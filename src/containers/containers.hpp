// Audio file containers beside WAV: what a stream of samples is (its
// coding, channels and rate), and the writers that put a header around
// such samples for RIFF/WAV (linear PCM and G.711), SPHERE, Sun/NeXT AU,
// AIFF and raw output. Each writer checks the limits of its format before
// it writes a byte, and builds the file around the samples in place when
// they carry room for its header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/bytes.hpp"
#include "common/result.hpp"
#include "sphere/sphere.hpp"

namespace korrin::containers {

enum class Coding : std::uint8_t { Linear16, Linear32, Ulaw, Alaw };

constexpr unsigned bytes_per_sample(Coding coding) noexcept {
    switch (coding) {
        case Coding::Linear16: return 2;
        case Coding::Linear32: return 4;
        case Coding::Ulaw:
        case Coding::Alaw: break;
    }
    return 1;
}

constexpr bool is_g711(Coding coding) noexcept { return coding == Coding::Ulaw || coding == Coding::Alaw; }

// The name of a coding in a SPHERE header ("pcm", "ulaw", "alaw").
std::string_view sphere_coding_name(Coding coding) noexcept;

struct Format {
    std::uint64_t channels = 1;
    std::uint64_t rate = 1;
    Coding coding = Coding::Linear16;
};

enum class Container : std::uint8_t {
    Wav,     // RIFF/WAV: PCM (format 1) or G.711 (7, 6) with a "fact" chunk
    Sphere,  // NIST SPHERE, the input's header rewritten (sphere_header)
    Raw,     // the samples alone
    Au,      // Sun/NeXT .snd, big-endian
    Aiff,    // AIFF, big-endian linear PCM only
};

// The byte order of a container's linear samples.
constexpr bool is_big_endian(Container container) noexcept {
    return container == Container::Au || container == Container::Aiff;
}

// The room in front of the samples that `finish` writes the header into (for
// SPHERE, the size of the header that sphere_header made), and behind them,
// for a pad byte.
Framing framing_for(Container container, Coding coding, std::size_t sphere_header_size = 0) noexcept;

// Refuses, before anything is decoded, a stream that the container cannot
// describe: AIFF holds linear PCM only; WAV, AU and AIFF have 16- or 32-bit
// fields for channels and rate. WAV's limits on PCM are left to `finish`,
// which checks them as the module's WAV writer does.
Result<void> check(Container container, const Format& format);

// The whole file: `samples` (whole frames of `format`, in the container's
// byte order) with its header in front and, for WAV, a pad byte after an
// odd length. `sphere_header` is the header of a SPHERE output. Fails on a
// size beyond the container's fields.
Result<ByteBuffer> finish(Container container, const Format& format, ByteBuffer samples, ByteView sphere_header = {});

// The header of a SPHERE output made from an input whose header region is
// `region` (parsed as `header`): its lines as they stand, but for those that
// describe what changed, rewritten as "name -i N" or "name -sN text":
// channel_count, sample_count (against the header's values), sample_n_bytes
// and sample_sig_bits (when the width changes), sample_coding (when the
// coding changes or a compression is dropped), sample_byte_format ("01" for
// linear output; kept for G.711 from G.711, dropped for G.711 from linear).
// sample_checksum is dropped. A linear output without sample_byte_format, and
// a G.711 output without sample_coding, get the line before "end_head". The
// region keeps its size, growing by 1024 bytes at a time when the lines need
// more; the rest is blanks, with a LF at every offset that is a multiple of
// 32.
Result<ByteBuffer> sphere_header(ByteView region, const sphere::SphereHeader& header, const Format& format,
                                 std::uint64_t frames);

}  // namespace korrin::containers

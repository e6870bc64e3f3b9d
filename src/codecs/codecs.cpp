#include "codecs/codecs.hpp"

namespace korrin::codecs {

Result<Pcm> decode(const sphere::SphereHeader&, ByteView, Framing) { return invalid("not implemented"); }

}  // namespace korrin::codecs

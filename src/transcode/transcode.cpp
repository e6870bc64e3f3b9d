#include "transcode/transcode.hpp"

namespace korrin::transcode {

Result<codecs::Pcm> decode_payload(const sphere::SphereHeader&, ByteView, Framing) { return invalid("not implemented"); }
Result<ByteBuffer> transcode(ByteView) { return invalid("not implemented"); }
Result<ByteBuffer> decode_pcm(ByteView) { return invalid("not implemented"); }

}  // namespace korrin::transcode

// Keccak: the hashes against the known answers in the vector file, and the
// sponges fed and drained in pieces against the same done at once.
#include <algorithm>
#include <cstring>

#include "check.h"

namespace selftest {

void test_hashes(const Lines& lines) {
  int n = 0;
  for (const auto& f : lines) {
    if (f[0] != "hash") continue;
    const Bytes in = unhex(f[2]);
    const size_t outlen = std::stoul(f[3]);
    Bytes out(outlen);
    if (f[1] == "sha3_256") sha3_256(in.data(), in.size(), out.data());
    else if (f[1] == "sha3_512") sha3_512(in.data(), in.size(), out.data());
    else if (f[1] == "shake128") shake128(in.data(), in.size(), out.data(), outlen);
    else shake256(in.data(), in.size(), out.data(), outlen);
    CHECK(tohex(out.data(), outlen) == f[4], "%s of %zu bytes", f[1].c_str(), in.size());
    ++n;
  }
  CHECK(n == 86, "expected 86 hash vectors, found %d", n);

  // Feeding and draining in uneven pieces must not change the stream.
  Rng rng(1);
  const Bytes msg = rng.bytes(700);
  Bytes ref(900);
  shake128(msg.data(), msg.size(), ref.data(), ref.size());
  for (int trial = 0; trial < 50; ++trial) {
    Shake128 x;
    size_t pos = 0;
    while (pos < msg.size()) {
      size_t step = size_t(rng.below(200));
      if (step > msg.size() - pos) step = msg.size() - pos;
      x.absorb(msg.data() + pos, step);
      pos += step;
    }
    Bytes out(ref.size());
    pos = 0;
    while (pos < out.size()) {
      size_t step = size_t(rng.below(400));
      if (step > out.size() - pos) step = out.size() - pos;
      x.squeeze(out.data() + pos, step);
      pos += step;
    }
    CHECK(out == ref, "chunked SHAKE-128 differs, trial %d", trial);
  }
  // A rate that is no multiple of the word size: fed whole or in pieces,
  // the same stream.
  {
    Sponge whole(100, 0x1F), pieces(100, 0x1F);
    whole.absorb(msg.data(), msg.size());
    for (size_t pos = 0; pos < msg.size(); pos += 13) pieces.absorb(msg.data() + pos, std::min<size_t>(13, msg.size() - pos));
    Bytes a(333), b(333);
    whole.squeeze(a.data(), a.size());
    for (size_t pos = 0; pos < b.size(); pos += 37) pieces.squeeze(b.data() + pos, std::min<size_t>(37, b.size() - pos));
    CHECK(a == b, "sponge with rate 100 depends on how it is fed");
  }
  Shake128 blocks;
  blocks.absorb(msg.data(), msg.size());
  Bytes b(5 * 168);
  blocks.squeeze_blocks(b.data(), 2);
  blocks.squeeze_blocks(b.data() + 336, 3);
  CHECK(std::memcmp(b.data(), ref.data(), b.size()) == 0, "squeeze_blocks differs");
}

}  // namespace selftest

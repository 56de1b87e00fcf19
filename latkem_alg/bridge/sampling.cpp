// The native paths of the samplers (host/sampling.cpp).
#include "bridge/bridge.h"
#include "bridge/paths.h"

namespace latkem {
namespace bridge {

// CBD of hex text: every digit of it must be valid, as the host converts all
// of it, and it must hold the 64 * eta bytes the sampler reads.  A trailing
// single digit is a byte of its own, as in `hex_to_bits`.
bool native_CBD(PyObject* stream, PyObject* eta_obj, Obj& result) {
  const char* text;
  Py_ssize_t size;
  long long eta;
  if (!text_of(stream, text, size) || !small_int(eta_obj, 0, native::kMaxEta, eta) ||
      (size + 1) / 2 < 64 * eta)
    return false;
  uint8_t buf[64 * native::kMaxEta] = {};  // a noise stream
  native::Wiped wipe_buf(buf, sizeof buf);
  const Py_ssize_t keep = 64 * eta;
  uint32_t bad = 0;
  for (Py_ssize_t i = 0; 2 * i < size; ++i) {
    uint32_t value = hex_digit(text[2 * i], bad);
    if (2 * i + 1 < size) value = (value << 4) | hex_digit(text[2 * i + 1], bad);
    if (i < keep) buf[i] = uint8_t(value);  // a public bound
  }
  if (value_barrier(bad)) return false;
  native::Poly p{};
  native::Wiped wipe_p(&p, sizeof p);
  if (eta > 0) native::cbd(p, buf, int(eta));
  result = int_list(p.c, native::kN);
  return true;
}

// Parse of a bytes object that holds enough accepted candidates; a stream
// that runs out is left to the host statements, which fail on it.
bool native_Parse(PyObject* stream, Obj& result) {
  if (!PyBytes_CheckExact(stream)) return false;
  int16_t coeff[native::kN];
  const uint8_t* data = bytes_data(stream);
  if (native::rej_uniform(coeff, 0, data, static_cast<size_t>(PyBytes_GET_SIZE(stream))) <
      native::kN)
    return false;
  result = int_list(coeff, native::kN);
  return true;
}

}  // namespace bridge
}  // namespace latkem

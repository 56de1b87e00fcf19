# Type information for the Latkem extension module.
#
# Keys and ciphertexts are bytes of lower-case hex digits; functions that read
# hex text also accept str and upper-case digits.  Shared keys are raw bytes.
import binascii as binascii
import hashlib as hashlib
import math as math
import random as random
from typing import Any, List, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

_Hex = Union[bytes, bytearray, memoryview, str]
_Buffer = Union[bytes, bytearray, memoryview]
_Number = Union[int, float, np.floating[Any], np.integer[Any]]
_Array = npt.NDArray[np.float64]

# Hash constructors bound from hashlib.
sha3_256 = hashlib.sha3_256
sha3_512 = hashlib.sha3_512
shake_128 = hashlib.shake_128
shake_256 = hashlib.shake_256

# Parameters; every function reads them at each call.
q: int  # 3329
n: int  # 256
k: int  # 13, so that q == k * n + 1
eta1: int  # 3
eta2: int  # 2
kk: int  # 2, the module rank
bar_k: int  # 12
bar_r: int  # 20158
ted: int  # 1664
du: int  # 10
dv: int  # 4
mont: int  # 2285 == 2**16 mod q
mont_inv: int  # 169 == 2**-16 mod q
tree: List[Union[int, float]]
zetas: List[int]
zetas_inv: List[int]

# Key encapsulation.
def CCA_KeyGen() -> Tuple[bytes, bytes]:
    """A key pair (public_key, secret_key): 1600 and 3264 lower-case hex digits
    at rank 2.  The seeds come from the module global `random`, which is
    Python's random module unless rebound (for real keys, to
    random.SystemRandom())."""
def CCA_Enc(cca_pk: _Hex, m_unhex: _Buffer) -> Tuple[bytes, bytes]:
    """(ciphertext, shared_key) for a public key: the ciphertext as hex bytes,
    the shared key as 32 raw bytes.  m_unhex is the caller's random value
    (os.urandom(32))."""
def CCA_Dec(c_text: Union[bytes, str], cca_sk: Union[bytes, str]) -> bytes:
    """The shared key of a ciphertext, as 32 raw bytes.  A forged ciphertext is
    not an error: it prints a line and gets a rejection key derived from the
    secret key."""

# The encryption scheme underneath.
def Genkey(dd: _Buffer) -> List[bytes]:
    """The encryption scheme's key pair [pk_cpa, sk_cpa] from a seed."""
def Enc(pk_cpa: _Hex, ran_m: _Buffer, rand: _Hex) -> bytes:
    """The encryption scheme's ciphertext of a 32-byte message with hex coins."""
def Dec(uv_code: _Hex, sk_cpa: _Hex) -> List[int]:
    """The 256 message bits of a ciphertext, as a list of 0 and 1."""

# Hashing.
def H(data: _Hex) -> bytes:
    """SHA3-256 of hex text, answered as hex bytes."""
def G(bytes32: _Buffer) -> Tuple[bytes, bytes]:
    """SHA3-512, split into two 32-byte halves."""
def PRF(ss: Any, bd: Any, eta: int) -> str:
    """SHAKE-256 noise stream of 64 * eta bytes, as a hex str."""
def XOF(bytes32: bytes, int_a: int, int_b: int) -> bytes:
    """768 bytes of SHAKE-128 over a 32-byte seed and two index bytes."""
def kdf(in_str: _Buffer, length: int) -> bytes:
    """`length` bytes of SHAKE-256."""

# Arithmetic and transforms.
def mont_red(xx: Any) -> Any:
    """xx * 2**-16 mod q."""
def mont_mul(aa: Any, bb: Any) -> Any:
    """aa * bb * 2**-16 mod q."""
def barrett_red(xx: Any) -> int:
    """Barrett reduction of int(xx) modulo q."""
def ntt3(vvv: Sequence[_Number]) -> List[Any]:
    """Forward number-theoretic transform of 256 coefficients."""
def intt3(vvv: Sequence[_Number]) -> List[Any]:
    """Inverse number-theoretic transform."""
def ntt3_mul(fff: Sequence[_Number], ggg: Sequence[_Number]) -> List[Any]:
    """Product of two transforms."""
def ntt3_mul0(a0: Any, a1: Any, b0: Any, b1: Any, ze: Any) -> Tuple[Any, Any]:
    """Product of one pair of degree-1 factors."""

# Sampling.
def CBD(byte_array: Union[bytes, str], eta: int) -> List[int]:
    """Centred binomial noise polynomial from a hex stream."""
def Parse(bytes96: Sequence[int]) -> List[int]:
    """Uniform polynomial by rejection sampling of 12-bit candidates."""
def generate_mat_a(rho: bytes, len_a: int) -> _Array:
    """The public matrix, as a float64 array."""

# Encoding.
def compress(x: _Number, d_u: int) -> int:
    """One coefficient rounded to d_u bits."""
def decompress(x: _Number, d_u: int) -> int:
    """One d_u-bit value back to a coefficient."""
def encode(fff: Sequence[Any], l: int) -> str:
    """Polynomials packed into a bit string, `l` bits per coefficient."""
def decode(fff_bits: str, l: int) -> _Array:
    """A bit string unpacked into a float64 array."""
def hex_to_bits(hex_str: Union[bytes, str]) -> str:
    """Hex text to a bit string, least significant bit first."""
def bits_to_bytes(ss: Union[str, bytes]) -> bytes:
    """A bit string to bytes."""

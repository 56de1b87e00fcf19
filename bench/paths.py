"""What the benchmark and the leak check share: the names of the module's
functions and a switch to their host paths."""
import Latkem

FUNCTION_NAMES = (
    "compress decompress CBD PRF H mont_red mont_mul barrett_red ntt3_mul ntt3_mul0 "
    "ntt3 intt3 Genkey Enc Dec XOF generate_mat_a G Parse encode decode hex_to_bits "
    "bits_to_bytes kdf CCA_KeyGen CCA_Enc CCA_Dec"
).split()


class HostPath:
    """Switches every function to its host path; puts the previous switches back."""

    def __enter__(self):
        self.saved = {name: getattr(Latkem, name)._native for name in FUNCTION_NAMES}
        for name in FUNCTION_NAMES:
            getattr(Latkem, name)._native = False
        return self

    def __exit__(self, *exc):
        for name, value in self.saved.items():
            getattr(Latkem, name)._native = value
        return False

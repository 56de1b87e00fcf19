"""What the benchmark and the leak check share: the names of the module's
functions and a switch to their host paths."""
import Latkem

# The module's functions, in the order it binds them: its globals that carry
# the private switch of the native path.
FUNCTION_NAMES = tuple(name for name, value in vars(Latkem).items()
                       if hasattr(value, "_native"))


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

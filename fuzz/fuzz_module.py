"""Fuzz harness for the Latkem module (atheris): the entry point.

Every input is a short script of steps drawn from the fuzz data: calls of the
27 module functions with arbitrary arguments (bytes, str, bytearray, ints of
any size and sign, floats with nan and inf, None, lists, tuples, numpy arrays
and scalars, valid keys and ciphertexts and mutations of them, objects whose
methods raise), with keyword mixes (valid names, duplicates, unknown names,
non-string keys through **dict); rebinding of module globals (parameters,
tables, imported modules, functions rebound to others or to stand-ins);
switching functions between the native and the host path; and full key
exchanges whose outcome is checked.  To reach the code behind the first
checks there are also well-formed calls (arguments recorded from a real key
exchange for each parameter set, then a few structured changes), faults
injected in the middle of well-formed calls (a callee that fails, a
parameter or list element that runs out after a number of uses, a memory
allocation that fails), the function objects' own attributes, and a switch
between the native cores.  The steps are harness/steps.py's table; the
input is read as a small program (harness/encoding.py), and make_corpus.py
writes seeds in that encoding.  After every input the module is put back as
it was.  The module is imported at the first input, after imports that
fail, so that its import counts too (harness/startup.py).

A finding is anything but an ordinary exception from a call:
  - a crash or a sanitizer report (the process dies);
  - a BaseException that is not an Exception (it escapes the harness);
  - SystemError: the interpreter's sign of a broken C-level contract (a
    function returned NULL without an exception, or the module's own
    "unexpected failure"), except those the host's own libraries raise and
    the module passes on (harness/calls.py, HOST_SYSTEM_ERRORS);
  - on an untouched module: the native and the host path disagree on a call
    (result, or exception type and message), or a key exchange goes wrong: a
    valid ciphertext does not give the encapsulated key, or a changed one does.

The module prints a line for every rejected ciphertext; stdout is sent to
/dev/null so that the fuzzer's log stays readable.

Build the module with coverage and sanitizers with fuzz/build_module.sh, then
run:  python fuzz/fuzz_module.py [libFuzzer options] (fuzz/README.md)
"""
import os
import sys
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    sys.path.insert(0, HERE)
    # The test kit (tests/kit.py), which the harness shares.
    sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
    import atheris
    from harness import mutator, startup, steps

    def test_one_input(data):
        if not startup.STARTED:
            if not data:  # libFuzzer's first run, whose edges it does not count
                return
            startup.start()
        steps.run(data)

    def mutate(data, max_size, seed):
        if not startup.STARTED:
            return atheris.Mutate(data, max_size)
        return mutator.custom_mutator(data, max_size, seed)

    warnings.simplefilter("ignore")  # numpy's overflow warnings, by the thousand
    # The rejection line is printed once per rejected ciphertext.
    sys.stdout = open(os.devnull, "w")
    # libFuzzer starts its own children (-merge, -jobs) with a shell command
    # made from argv[0]: the interpreter and this file.
    argv = ["%s %s" % (sys.executable, os.path.abspath(__file__))] + sys.argv[1:]
    atheris.Setup(argv, test_one_input, custom_mutator=mutate)
    atheris.Fuzz()


if __name__ == "__main__":
    main()

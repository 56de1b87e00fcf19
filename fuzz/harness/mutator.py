"""The fuzzer's mutator: libFuzzer's own byte mutations most of the time,
otherwise a fresh well-formed call or fault step put in the input."""
import random

import atheris

from . import faults, state
from .changes import CHANGE_KINDS, write_well_formed
from .encoding import Reader, Writer
from .steps import MAX_STEPS, write_step


def random_step(rng):
    """A well-formed call step with a few random changes, or a fault step."""
    name = rng.choice(state.FUNCTIONS)
    if rng.randrange(3) == 0:
        target = rng.choice([None, rng.choice(faults.targets())])
        action = rng.randrange(faults.FAULT_ACTIONS)
        # A parameter that runs out: after a number of uses spread evenly
        # on a logarithmic scale, as the counts of loops are.
        at = int(2 ** rng.uniform(0, 16)) - 1 \
            if action in (faults.TICK, faults.NOMEM, faults.SITE) else rng.randrange(0x10000)
        return faults.write_fault(write_step(Writer(), "fault"), name, rng.randrange(2, 5),
                                  rng.randrange(4), rng.choice([False, True]), at, target,
                                  action, rng.randrange(0x100)).bytes()
    count = rng.choice([0, 1, 1, 1, 2, 2, 3, 4])
    changes = [(rng.randrange(8), rng.randrange(CHANGE_KINDS), rng.randrange(0x10000),
                rng.randrange(0x100)) for _ in range(count)]
    return write_well_formed(write_step(Writer(), "well_formed"), name, rng.randrange(2, 5),
                             rng.randrange(4), rng.choice([0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7]),
                             rng.choice([0, 0, 1, 2]), changes).bytes()


def custom_mutator(data, max_size, seed):
    """libFuzzer's own byte mutations (which use the dictionary) most of the
    time; otherwise a well-formed call or fault step (random_step) put in
    front of the input's own steps, or the input's first step replaced by
    one."""
    rng = random.Random(seed)
    roll = rng.randrange(8)
    if roll >= 2 or not data:
        return atheris.Mutate(data, max_size)
    step = random_step(rng)
    count = Reader(data).ConsumeIntInRange(1, MAX_STEPS)
    if roll == 0:  # in front of the input's own steps
        out = Writer().int_in(1, MAX_STEPS, min(count + 1, MAX_STEPS)).raw(step).raw(data[1:])
    else:  # alone, followed by the input's bytes as data for later steps
        out = Writer().int_in(1, MAX_STEPS, count).raw(step).raw(data[1 + len(step):])
    return out.bytes()[:max_size]

"""Forks: a child starts a sequence of its own, shares no random bytes with its
parent or its siblings, and the parent's sequence goes on unbroken."""

from __future__ import annotations

import itertools
import json
import os
import subprocess
import sys
import threading
import traceback
import uuid

import pytest
from testkit import BATCHES, FAR_FUTURE_MS, fields, now_ms, run_threads, scale, urandom_descriptors, values_of


def send_and_exit(write_end: int, values: list[int]) -> None:
    """In a forked child: the values to the parent, then the end of the child."""
    try:
        os.write(write_end, json.dumps(values).encode())
    finally:
        os._exit(0)


def receive(read_end: int, write_end: int, pid: int) -> bytes:
    """In the parent: what the child wrote, once it has exited successfully."""
    os.close(write_end)
    with os.fdopen(read_end, "rb") as incoming:
        data = incoming.read()
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, "the child failed"
    return data


# Forking a process with threads is what some of these tests are about.  The
# warning against it is ignored for the whole module: a catch_warnings() around
# each fork would be entered and left by several threads at once, which can put
# the filters back in an order that lets the warning through.
pytestmark = pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")


def forked(child) -> bytes:
    """What child(write_end), run in a forked child that must exit or exec
    from it, wrote to write_end."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read_end)
            child(write_end)
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(1)
    return receive(read_end, write_end, pid)


def fork_and_collect(produce) -> list[int]:
    """Run produce() in a forked child; return the 128-bit values it made."""
    return json.loads(forked(lambda write_end: send_and_exit(write_end, produce())))


def child_mix(vorndal, count=24):
    """A child's identifiers through several functions, in order."""
    singles = [vorndal.generate_uuid7_int, vorndal.generate_uuid7_bytes, vorndal.uuid7, vorndal.uuid7_obj]
    batches = [vorndal.uuid7_str_many, vorndal.uuid7_many, vorndal.uuid7_bytes_many]
    return values_of([call() for call in singles] + [batch(count // 4) for batch in batches])


def assert_increasing(values, what):
    assert all(a < b for a, b in itertools.pairwise(values)), f"{what} went backwards"


def assert_fresh_bytes(parent_values, children):
    """No child repeats its parent's random bytes or a sibling's.

    Two consecutive 32-bit tails (64 random bits) never repeat by chance; a
    child that handed out its parent's pool bytes would repeat a pair.  The
    first tail of every child must also be none of the parent's tails."""

    def tail_pairs(values):
        tails = [value & 0xFFFFFFFF for value in values]
        return set(itertools.pairwise(tails))

    seen = tail_pairs(parent_values)
    parent_tails = {value & 0xFFFFFFFF for value in parent_values}
    for child in children:
        pairs = tail_pairs(child)
        assert not pairs & seen, "a child repeated random bytes of its parent or a sibling"
        seen |= pairs
        assert child[0] & 0xFFFFFFFF not in parent_tails


def test_repeated_forks(vorndal):
    forks = scale(60, minimum=8)
    parent: list[int] = []
    children = []
    for _ in range(forks):
        parent += [vorndal.generate_uuid7_int() for _ in range(20)]
        before_fork = parent[-1]
        child = fork_and_collect(lambda: child_mix(vorndal))
        children.append(child)
        assert_increasing(child, "a child's sequence")
        ts, counter, _ = fields(child[0])
        last_ts, last_counter, _ = fields(before_fork)
        assert ts >= last_ts
        # Within the parent's millisecond the parent would count on by one;
        # a fresh child draws a new counter (equal only by a 2**-42 chance).
        assert (ts, counter) != (last_ts, last_counter + 1)
        parent += [vorndal.generate_uuid7_int() for _ in range(20)]
    assert_increasing(parent, "the parent's sequence")
    assert_fresh_bytes(parent, children)


def test_child_forgets_a_forced_future_state(vorndal):
    counter = 1000
    vorndal._set_state_for_tests(FAR_FUTURE_MS, counter)
    assert fields(vorndal.generate_uuid7_bytes())[:2] == (FAR_FUTURE_MS, counter + 1)
    for round_ in range(scale(20, minimum=4)):
        before = now_ms()
        child = fork_and_collect(lambda: child_mix(vorndal, 8) + [vorndal.uuid7_obj().int])
        after = now_ms()
        # The child's first identifier comes from its own clock and a new
        # counter, not from the parent's state far in the future.
        assert before <= fields(child[0])[0] <= after
        assert all(fields(value)[0] < FAR_FUTURE_MS for value in child)
        assert_increasing(child, "a child's sequence")
        # The parent carries on exactly where it was.
        expected = counter + 2 + round_
        assert fields(vorndal.generate_uuid7_bytes())[:2] == (FAR_FUTURE_MS, expected)


def test_forks_from_threads(vorndal):
    vorndal._set_state_for_tests(FAR_FUTURE_MS, 0)
    threads = 4
    forks_each = scale(10, minimum=3)
    parents: list[list[int]] = [[] for _ in range(threads)]
    children: list[list[int]] = []
    lock = threading.Lock()

    def work(index):
        for _ in range(forks_each):
            parents[index].extend(values_of(vorndal.uuid7_many(50)))
            child = fork_and_collect(lambda: child_mix(vorndal, 12))
            with lock:
                children.append(child)
            parents[index].extend(values_of(vorndal.uuid7_obj_many(50)))

    run_threads(work, threads)
    everything = []
    for values in parents:
        assert_increasing(values, "a thread's sequence")
        assert all(fields(value)[0] == FAR_FUTURE_MS for value in values)
        everything += values
    assert len(set(everything)) == len(everything)
    for child in children:
        assert fields(child[0])[0] < FAR_FUTURE_MS, "a child continued its parent's state"
        assert_increasing(child, "a child's sequence")
    assert_fresh_bytes(sorted(everything), children)


class ForkingUUID:
    """A class for the uuid.UUID fast path whose int setter forks once, at a
    chosen element of a batch, so the rest of the batch runs in the child."""

    __slots__ = ("_int", "is_safe")
    fork_at = -1
    seen = 0
    pid = -1
    in_child = False

    def _get(self):
        return self._int

    def _set(self, value):
        self._int = value
        cls = type(self)
        if cls.seen == cls.fork_at:
            cls.pid = os.fork()
            cls.in_child = cls.pid == 0
        cls.seen += 1

    int = property(_get, _set)


def test_fork_in_the_middle_of_a_batch(vorndal):
    fork_at = 40
    count = 100
    for _ in range(scale(10, minimum=3)):
        read_end, write_end = os.pipe()
        ForkingUUID.fork_at, ForkingUUID.seen, ForkingUUID.in_child = fork_at, 0, False
        vorndal._configure_uuid7(ForkingUUID, None)
        vorndal._set_state_for_tests(FAR_FUTURE_MS, 0)
        try:
            batch = [u.int for u in vorndal.uuid7_many(count)]
        finally:
            if ForkingUUID.in_child:
                send_and_exit(write_end, batch)
        child = json.loads(receive(read_end, write_end, ForkingUUID.pid))
        vorndal._configure_uuid7(uuid.UUID, uuid.SafeUUID.unknown)

        assert len(batch) == len(child) == count
        # Up to the forking element both processes hold the same identifiers.
        assert batch[: fork_at + 1] == child[: fork_at + 1]
        assert [fields(x)[:2] for x in batch] == [(FAR_FUTURE_MS, n) for n in range(1, count + 1)]
        # From the next element on the child has a sequence of its own.
        rest = child[fork_at + 1 :]
        assert all(fields(x)[0] < FAR_FUTURE_MS for x in rest)
        assert_increasing(rest, "the child's part of the batch")
        assert_fresh_bytes(batch, [rest])


class ForkingCount:
    """A batch count whose conversion forks: the whole batch runs in the child."""

    def __init__(self, count):
        self.count = count
        self.in_child = False

    def __index__(self):
        self.pid = os.fork()
        self.in_child = self.pid == 0
        return self.count


@pytest.mark.parametrize("batch", BATCHES)
def test_fork_in_the_count_of_a_batch(vorndal, batch):
    vorndal._set_state_for_tests(FAR_FUTURE_MS, 0)
    assert fields(vorndal.generate_uuid7_bytes())[:2] == (FAR_FUTURE_MS, 1)
    read_end, write_end = os.pipe()
    count = ForkingCount(300)
    values = values_of(getattr(vorndal, batch)(count))
    if count.in_child:
        send_and_exit(write_end, values)
    child = json.loads(receive(read_end, write_end, count.pid))
    assert [fields(x)[:2] for x in values] == [(FAR_FUTURE_MS, n) for n in range(2, 302)]
    assert all(fields(x)[0] < FAR_FUTURE_MS for x in child)
    assert_increasing(child, "the child's batch")
    assert_fresh_bytes(values, [child])


@pytest.mark.native_only("holds a descriptor of /dev/urandom; the Python implementation takes os.urandom")
def test_urandom_descriptor_is_close_on_exec(vorndal):
    vorndal._reset_state_for_tests()
    vorndal.generate_uuid7()  # the pool was emptied: this opens (or reuses) the device
    held = urandom_descriptors()
    assert held, "the generator holds no descriptor of /dev/urandom"
    import fcntl

    for fd in held:
        assert fcntl.fcntl(fd, fcntl.F_GETFD) & fcntl.FD_CLOEXEC
    lister = (
        "import os\n"
        "for n in os.listdir('/proc/self/fd'):\n"
        "    try: print(os.readlink('/proc/self/fd/' + n))\n"
        "    except OSError: pass\n"
    )
    # subprocess would close the descriptors itself; keep them, so that only
    # close-on-exec can release them.
    shown = subprocess.check_output([sys.executable, "-I", "-S", "-c", lister], close_fds=False, text=True)
    assert "/dev/urandom" not in shown.split(), shown

    # And a plain fork followed by exec, from a child that generated first.
    def generate_then_list(write_end):
        vorndal._reset_state_for_tests()
        vorndal.generate_uuid7()
        os.dup2(write_end, 1)
        os.execv(sys.executable, [sys.executable, "-I", "-S", "-c", lister])

    output = forked(generate_then_list).decode()
    assert output.strip() and "/dev/urandom" not in output.split(), output

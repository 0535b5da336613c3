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
import warnings

import pytest
from stress_support import FUTURE_TS, fields, now_ms, scale, urandom_descriptors


def fork_and_collect(produce) -> list[int]:
    """Run produce() in a forked child; return the 128-bit values it made."""
    read_end, write_end = os.pipe()
    with warnings.catch_warnings():
        # Forking a process with threads is what some of these tests are about.
        warnings.simplefilter("ignore", DeprecationWarning)
        pid = os.fork()
    if pid == 0:
        code = 1
        try:
            os.close(read_end)
            data = json.dumps(produce()).encode()
            with os.fdopen(write_end, "wb") as out:
                out.write(data)
            code = 0
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(code)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as incoming:
        data = incoming.read()
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, "the child failed"
    return json.loads(data)


def child_mix(v, count=24):
    """A child's identifiers through several functions, in order."""
    out = [v.generate_uuid7_int()]
    out.append(int.from_bytes(v.generate_uuid7_bytes(), "big"))
    out.append(v.uuid7().int)
    out.append(v.uuid7_obj().int)
    out += [int(s.replace("-", ""), 16) for s in v.uuid7_str_many(count // 4)]
    out += [u.int for u in v.uuid7_many(count // 4)]
    data = v.uuid7_bytes_many(count // 4)
    out += [int.from_bytes(data[i : i + 16], "big") for i in range(0, len(data), 16)]
    return out


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


def test_repeated_forks(v):
    forks = scale(60, minimum=8)
    parent: list[int] = []
    children = []
    for _ in range(forks):
        parent += [v.generate_uuid7_int() for _ in range(20)]
        before_fork = parent[-1]
        child = fork_and_collect(lambda: child_mix(v))
        children.append(child)
        assert_increasing(child, "a child's sequence")
        ts, counter, _ = fields(child[0])
        last_ts, last_counter, _ = fields(before_fork)
        assert ts >= last_ts
        # Within the parent's millisecond the parent would count on by one;
        # a fresh child draws a new counter (equal only by a 2**-42 chance).
        assert (ts, counter) != (last_ts, last_counter + 1)
        parent += [v.generate_uuid7_int() for _ in range(20)]
    assert_increasing(parent, "the parent's sequence")
    assert_fresh_bytes(parent, children)


def test_child_forgets_a_forced_future_state(v):
    counter = 1000
    v._set_state_for_tests(FUTURE_TS, counter)
    assert fields(v.generate_uuid7_bytes())[:2] == (FUTURE_TS, counter + 1)
    for round_ in range(scale(20, minimum=4)):
        before = now_ms()
        child = fork_and_collect(lambda: child_mix(v, 8) + [v.uuid7_obj().int])
        after = now_ms()
        # The child's first identifier comes from its own clock and a new
        # counter, not from the parent's state far in the future.
        assert before <= fields(child[0])[0] <= after
        assert all(fields(value)[0] < FUTURE_TS for value in child)
        assert_increasing(child, "a child's sequence")
        # The parent carries on exactly where it was.
        expected = counter + 2 + round_
        assert fields(v.generate_uuid7_bytes())[:2] == (FUTURE_TS, expected)


def test_forks_from_threads(v):
    v._set_state_for_tests(FUTURE_TS, 0)
    threads = 4
    forks_each = scale(10, minimum=3)
    parents: list[list[int]] = [[] for _ in range(threads)]
    children: list[list[int]] = []
    errors: list[BaseException] = []
    lock = threading.Lock()

    def work(index):
        try:
            for _ in range(forks_each):
                parents[index].extend(u.int for u in v.uuid7_many(50))
                child = fork_and_collect(lambda: child_mix(v, 12))
                with lock:
                    children.append(child)
                parents[index].extend(o.int for o in v.uuid7_obj_many(50))
        except BaseException as error:
            errors.append(error)

    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert not errors, errors
    everything = []
    for values in parents:
        assert_increasing(values, "a thread's sequence")
        assert all(fields(value)[0] == FUTURE_TS for value in values)
        everything += values
    assert len(set(everything)) == len(everything)
    for child in children:
        assert fields(child[0])[0] < FUTURE_TS, "a child continued its parent's state"
        assert_increasing(child, "a child's sequence")
    assert_fresh_bytes(sorted(everything), children)


class ForkingUUID:
    """A class for the uuid.UUID fast path whose int setter forks once, at a
    chosen element of a batch, so the rest of the batch runs in the child."""

    __slots__ = ("_int", "is_safe")
    fork_at = -1
    seen = 0
    in_child = False

    def _get(self):
        return self._int

    def _set(self, value):
        self._int = value
        cls = type(self)
        if cls.seen == cls.fork_at:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)
                cls.in_child = os.fork() == 0
        cls.seen += 1

    int = property(_get, _set)


def test_fork_in_the_middle_of_a_batch(v):
    fork_at = 40
    count = 100
    for _ in range(scale(10, minimum=3)):
        read_end, write_end = os.pipe()
        ForkingUUID.fork_at, ForkingUUID.seen, ForkingUUID.in_child = fork_at, 0, False
        v._configure_uuid7(ForkingUUID, None)
        v._set_state_for_tests(FUTURE_TS, 0)
        try:
            batch = [u.int for u in v.uuid7_many(count)]
        finally:
            if ForkingUUID.in_child:
                try:
                    os.write(write_end, json.dumps(batch).encode())
                finally:
                    os._exit(0)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as incoming:
            child = json.loads(incoming.read())
        pid, status = os.wait()
        assert os.waitstatus_to_exitcode(status) == 0
        v._configure_uuid7(uuid.UUID, uuid.SafeUUID.unknown)

        assert len(batch) == len(child) == count
        # Up to the forking element both processes hold the same identifiers.
        assert batch[: fork_at + 1] == child[: fork_at + 1]
        assert [fields(x)[:2] for x in batch] == [(FUTURE_TS, n) for n in range(1, count + 1)]
        # From the next element on the child has a sequence of its own.
        rest = child[fork_at + 1 :]
        assert all(fields(x)[0] < FUTURE_TS for x in rest)
        assert_increasing(rest, "the child's part of the batch")
        assert_fresh_bytes(batch, [rest])


class ForkingCount:
    """A batch count whose conversion forks: the whole batch runs in the child."""

    def __init__(self, count):
        self.count = count
        self.in_child = False

    def __index__(self):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            self.pid = os.fork()
        self.in_child = self.pid == 0
        return self.count


@pytest.mark.parametrize("batch", ["uuid7_str_many", "uuid7_bytes_many", "uuid7_obj_many", "uuid7_many"])
def test_fork_in_the_count_of_a_batch(v, batch):
    v._set_state_for_tests(FUTURE_TS, 0)
    assert fields(v.generate_uuid7_bytes())[:2] == (FUTURE_TS, 1)
    read_end, write_end = os.pipe()
    count = ForkingCount(300)
    result = getattr(v, batch)(count)
    if isinstance(result, bytes):
        values = [int.from_bytes(result[i : i + 16], "big") for i in range(0, len(result), 16)]
    elif batch == "uuid7_str_many":
        values = [int(s.replace("-", ""), 16) for s in result]
    else:
        values = [item.int for item in result]
    if count.in_child:
        try:
            os.write(write_end, json.dumps(values).encode())
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as incoming:
        child = json.loads(incoming.read())
    _, status = os.waitpid(count.pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert [fields(x)[:2] for x in values] == [(FUTURE_TS, n) for n in range(2, 302)]
    assert all(fields(x)[0] < FUTURE_TS for x in child)
    assert_increasing(child, "the child's batch")
    assert_fresh_bytes(values, [child])


def test_urandom_descriptor_is_close_on_exec(v):
    v._reset_state_for_tests()
    v.generate_uuid7()  # the pool was emptied: this opens (or reuses) the device
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
    shown = subprocess.run(
        [sys.executable, "-I", "-S", "-c", lister],
        close_fds=False,
        capture_output=True,
        text=True,
        check=True,
    )
    assert "/dev/urandom" not in shown.stdout.split(), shown.stdout
    # And a plain fork followed by exec, from a child that generated first.
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read_end)
            v._reset_state_for_tests()
            v.generate_uuid7()
            os.dup2(write_end, 1)
            os.execv(sys.executable, [sys.executable, "-I", "-S", "-c", lister])
        finally:
            os._exit(1)
    os.close(write_end)
    with os.fdopen(read_end) as incoming:
        output = incoming.read()
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert output.strip() and "/dev/urandom" not in output.split(), output

"""Every kind of new process gets a generator of its own, and randomness comes
only from the kernel's random device.

A child that went on with its parent's state would repeat the parent's
counter and pool bytes: with a frozen clock, its identifiers would be the
parent's exactly.  A shared pool shows up first as the same 32-bit random
tails at different timestamps, so the tests compare tails, not only whole
identifiers.  Each scenario runs in a subprocess, the way users meet it, for each
implementation of the module (``implementation``); where the package is
imported, it binds the same one.
"""

from __future__ import annotations

import errno
import json
import os
import pathlib
import shutil
import subprocess
import textwrap
import time
from typing import Any

import pytest
import testkit

# Returns, as hex, `count` identifiers made at a millisecond far beyond the
# clock (the sequence stays there) and `count` made from the clock, as the
# process that runs it sees them.  It imports nothing before the scenario
# does (refusing() must come first).
PRODUCE = f"""
FAR_FUTURE_MS = {testkit.FAR_FUTURE_MS}
def assert_refused():  # where a filter refuses advice: that it bites
    pass
def produce(count=64):
    from tembrel.tembrel_impl import vorndal
    made = [vorndal._generate_uuid7_bytes_for_tests(FAR_FUTURE_MS) for _ in range(count)]
    made += [vorndal.generate_uuid7_bytes() for _ in range(count)]
    assert_refused()
    return [identifier.hex() for identifier in made]
"""


WIPEONFORK, DONTDUMP = 18, 16  # madvise's advice numbers

# Makes the kernel refuse the advice in REFUSED with EINVAL, as a kernel
# before 4.14, gVisor or a seccomp profile does MADV_WIPEONFORK: a seccomp
# filter on madvise, installed before the first identifier.  Every
# assert_refused() checks that the filter bites: the module has made no
# mapping that carries the advice.
REFUSE_ADVICE = """
import ctypes, errno, platform, re, struct
arch, nr = {"x86_64": (0xC000003E, 28), "aarch64": (0xC00000B7, 233)}[platform.machine()]
def op(code, k, jt=0, jf=0):
    return struct.pack("HBBI", code, jt, jf, k)
n = len(REFUSED)
# Load arch, syscall number, third argument (BPF_LD|W|ABS), each compared (BPF_JEQ):
# anything else is allowed (SECCOMP_RET_ALLOW), the refused advice gets EINVAL (SECCOMP_RET_ERRNO).
code = b"".join([op(0x20, 4), op(0x15, arch, jf=n + 3), op(0x20, 0), op(0x15, nr, jf=n + 1), op(0x20, 32),
    *[op(0x15, advice, jt=n - i) for i, advice in enumerate(REFUSED)],
    op(0x06, 0x7FFF0000), op(0x06, 0x50000 | errno.EINVAL)])
program = ctypes.create_string_buffer(code)
libc = ctypes.CDLL(None)
assert libc.prctl(38, 1, 0, 0, 0) == 0  # PR_SET_NO_NEW_PRIVS
filter = struct.pack("HxxxxxxP", len(code) // 8, ctypes.addressof(program))
assert libc.prctl(22, 2, filter) == 0  # SECCOMP_MODE_FILTER
FLAGS = {18: "wf", 16: "dd"}  # smaps' names of the advice
def advised():  # the mappings that carry a refused advice
    blocks = re.split(r"\\n(?=[0-9a-f]+-)", open("/proc/self/smaps").read())
    return {b.split()[0] for b in blocks for a in REFUSED if re.search(rf"VmFlags:.* {FLAGS[a]}", b)}
OTHERS = advised()  # the C library's own
def assert_refused():
    assert advised() <= OTHERS, "the filter did not bite: the module's pages took the advice"
"""


def refusing(*advice: int) -> str:
    """Source that makes the kernel refuse ``advice`` from here on (REFUSE_ADVICE)."""
    return f"REFUSED = {advice!r}\n{REFUSE_ADVICE}" if advice else ""


def run_scenario(
    code: str, *refused: int, implementation: str = "native", **options: Any
) -> subprocess.CompletedProcess[str]:
    """``code`` run after PRODUCE, with the kernel refusing the ``refused``
    advice, for the implementation given (which the package binds too);
    ``options`` go to testkit.run_python."""
    source = PRODUCE + refusing(*refused) + textwrap.dedent(code)
    env = testkit.implementation_env(implementation, options.pop("env", None))
    return testkit.run_python(testkit.retarget(source, implementation), env=env, **options)


def tails(ids: list[str]) -> set[str]:
    return {i[24:] for i in ids}


def assert_disjoint(parent: list[str], child: list[str]) -> None:
    assert len(parent) == len(child) > 0
    assert not set(parent) & set(child), "the child repeated the parent's identifiers"
    assert not tails(parent) & tails(child), "the child reused the parent's random bytes"


def reports_by_role(done: subprocess.CompletedProcess[str]) -> dict[str, dict[str, Any]]:
    """The parent's and the child's reports (role, pid, ids), one JSON line each."""
    assert done.returncode == 0, testkit.output_of(done)
    reports = [json.loads(line) for line in done.stdout.splitlines() if line.startswith("{")]
    by_role = {report["role"]: report for report in reports}
    assert set(by_role) == {"parent", "child"}, done.stdout
    return by_role


# The parent makes identifiers first, so that its state and pool are in use
# when it forks; then both sides go on from the same pinned state.
FORK_TEMPLATE = """
import ctypes, json, os
from tembrel.tembrel_impl import vorndal
vorndal._set_state_for_tests(FAR_FUTURE_MS, 1000)
produce()
vorndal._set_state_for_tests(FAR_FUTURE_MS, 5000)
{before_fork}
pid = {fork}
role = "child" if pid == 0 else "parent"
if role == "child":
    vorndal._set_state_for_tests(FAR_FUTURE_MS, 5000)
print(json.dumps({{"role": role, "pid": os.getpid(), "ids": produce()}}), flush=True)
if pid == 0:
    os._exit(0)
os.waitpid(pid, 0)
"""


@pytest.mark.parametrize(
    "fork",
    [
        pytest.param("os.fork()", id="fork_from_python"),
        # No Python fork handlers run: only the kernel's wiping of the
        # ownership page tells the child from its parent.
        pytest.param("ctypes.CDLL(None, use_errno=True).fork()", id="fork_from_c"),
    ],
)
def test_forked_child_shares_nothing_with_its_parent(fork: str, implementation: str) -> None:
    done = run_scenario(FORK_TEMPLATE.format(before_fork="", fork=fork), implementation=implementation)
    by_role = reports_by_role(done)
    assert_disjoint(by_role["parent"]["ids"], by_role["child"]["ids"])


# The owner makes identifiers, forks a child that makes none, makes more and
# exits; the child then forks a grandchild under the owner's old pid, which
# holds the pool as it was at the fork.
DEAD_OWNER = """
import json, os, time
from tembrel.tembrel_impl import vorndal
read_end, write_end = os.pipe()
if os.fork() == 0:                           # the owner
    vorndal._set_state_for_tests(FAR_FUTURE_MS, 1000)
    produce()                                # its pool is in use
    owner = os.getpid()
    if os.fork() == 0:                       # its child: makes nothing, outlives it
        os.close(write_end)
        os.read(read_end, 1)                 # the owner has exited
        time.sleep(0.05)
        with open("/proc/sys/kernel/ns_last_pid", "w") as last_pid:
            last_pid.write(str(owner - 1))
        grandchild = os.fork()
        if grandchild == 0:                  # under the owner's pid
            vorndal._set_state_for_tests(FAR_FUTURE_MS, 5000)
            print(json.dumps({"role": "child", "pid": os.getpid(), "ids": produce()}), flush=True)
            os._exit(0)
        os.waitpid(grandchild, 0)
        os._exit(0)
    vorndal._set_state_for_tests(FAR_FUTURE_MS, 5000)
    print(json.dumps({"role": "parent", "pid": owner, "ids": produce()}), flush=True)
    os._exit(0)                              # closes write_end: the child goes on
os.close(read_end); os.close(write_end)
while True:
    try:
        os.wait()
    except ChildProcessError:
        break
time.sleep(0.3)
"""

# A /proc of the new namespace, mounted privately (the tests may run in a
# chroot, where / itself is no mount point to make private).
PRIVATE_PROC = 'mount --make-rprivate /proc && mount -t proc proc /proc && exec "$@"'
NEW_PID_AND_MOUNT = ("unshare", "--pid", "--fork", "--mount", "--propagation", "unchanged")


@pytest.fixture
def pid_namespaces() -> None:
    """Skips unless this process may make PID namespaces."""
    if os.geteuid() != 0:
        pytest.skip("needs root for new PID namespaces")
    if shutil.which("unshare") is None:
        pytest.skip("unshare (util-linux) is not installed")
    probe = subprocess.run(
        ["unshare", "--pid", "--fork", "true"], capture_output=True, text=True, check=False
    )
    if probe.returncode != 0:
        pytest.skip(f"the kernel refuses new PID namespaces here: {probe.stderr.strip()}")


@pytest.mark.parametrize(
    "refused",
    [
        (),
        pytest.param(
            (WIPEONFORK,), marks=pytest.mark.native_only("the fallback where the kernel refuses wipe-on-fork")
        ),
    ],
    ids=["wiped_mapping", "advice_refused"],
)
@pytest.mark.parametrize(
    ("code", "prefix"),
    [
        # An init process (pid 1) that forks into a new PID namespace has a
        # child that is pid 1 as well.
        pytest.param(
            # CLONE_NEWPID (os.unshare came with 3.12).
            FORK_TEMPLATE.format(
                before_fork="assert ctypes.CDLL(None).unshare(0x20000000) == 0", fork="os.fork()"
            ),
            ("unshare", "--pid", "--fork"),
            id="both_pid_1",
        ),
        pytest.param(
            DEAD_OWNER,
            (*NEW_PID_AND_MOUNT, "sh", "-c", PRIVATE_PROC, "sh"),
            id="dead_owners_pid",
        ),
    ],
)
@pytest.mark.usefixtures("pid_namespaces")
def test_a_process_under_its_forerunners_pid_shares_nothing(
    code: str, prefix: tuple[str, ...], refused: tuple[int, ...], implementation: str
) -> None:
    # The ownership check's two paths: the mapping the kernel wipes, and the
    # fallback where the kernel refuses to.  The process id cannot tell the
    # two processes apart (the Python implementation knows them by its
    # handler of os.fork).
    by_role = reports_by_role(run_scenario(code, *refused, prefix=prefix, implementation=implementation))
    pids = {report["pid"] for report in by_role.values()}
    assert len(pids) == 1, f"both processes must have one pid for this case to mean anything: {pids}"
    assert_disjoint(by_role["parent"]["ids"], by_role["child"]["ids"])


CSPRNG_MESSAGE = "system CSPRNG failed while generating UUID v7"

# Generates once and reports the exception and its cause.
REPORT_FAILURE = f"""
import json
from tembrel.tembrel_impl import vorndal
vorndal._set_state_for_tests({testkit.FAR_FUTURE_MS}, 5)
outcome = {{}}
for name in ("generate_uuid7", "generate_uuid7_bytes", "uuid7_obj"):
    try:
        getattr(vorndal, name)()
        outcome[name] = None
    except RuntimeError as error:
        cause = error.__cause__
        outcome[name] = [str(error), isinstance(cause, OSError), getattr(cause, "errno", None)]
print(json.dumps(outcome))
"""


def mounted_over_urandom(setup: str) -> subprocess.CompletedProcess[str]:
    """REPORT_FAILURE run with something else in place of /dev/urandom, in a
    private mount namespace (nothing outside it changes)."""
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        pytest.skip("needs root and unshare for a private mount namespace")
    # /dev is made private first: nothing mounted here may reach the host.
    script = f'set -e; mount --make-rprivate /dev; {setup}; exec "$@"'
    prefix = ("unshare", "--mount", "--propagation", "unchanged", "sh", "-c", script, "sh")
    # A FIFO that blocked the open would hang here: the timeout ends it.
    return testkit.run_python(REPORT_FAILURE, prefix=prefix, timeout=20)


@pytest.mark.native_only("reads /dev/urandom itself; the Python implementation takes os.urandom")
@pytest.mark.parametrize(
    ("setup", "expected_errno"),
    [
        pytest.param(
            'd=$(mktemp -d); mkfifo "$d/fifo"; mount --bind "$d/fifo" /dev/urandom', errno.ENODEV, id="fifo"
        ),
        pytest.param("mount --bind /dev/zero /dev/urandom", errno.ENODEV, id="dev_zero"),
        pytest.param(
            'f=$(mktemp); head -c 65536 /dev/urandom >"$f"; mount --bind "$f" /dev/urandom',
            errno.ENODEV,
            id="file",
        ),
        pytest.param("mount -t tmpfs tmpfs /dev", errno.ENOENT, id="missing"),
    ],
)
def test_only_the_kernels_random_device_is_randomness(setup: str, expected_errno: int) -> None:
    done = mounted_over_urandom(setup)
    assert done.returncode == 0, testkit.output_of(done)
    outcome = json.loads(done.stdout)
    for name, failure in outcome.items():
        assert failure == [CSPRNG_MESSAGE, True, expected_errno], name


@pytest.mark.native_only("holds a descriptor of /dev/urandom; the Python implementation takes os.urandom")
def test_descriptor_limit_is_reported_as_its_cause() -> None:
    code = """
    import json, os, resource
    from tembrel.tembrel_impl import vorndal
    resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))
    held = []
    try:
        while True:
            held.append(os.open("/dev/null", os.O_RDONLY))
    except OSError:
        pass
    try:
        vorndal.generate_uuid7()
        print(json.dumps(None))
    except RuntimeError as error:
        cause = error.__cause__
        print(json.dumps([str(error), type(cause).__name__, cause.errno, cause.filename]))
    for descriptor in held[:4]:
        os.close(descriptor)
    print(json.dumps(vorndal.generate_uuid7()))   # works again once a descriptor is free
    """
    done = testkit.run_python(code)
    assert done.returncode == 0, testkit.output_of(done)
    failure, after = (json.loads(line) for line in done.stdout.splitlines())
    assert failure == [CSPRNG_MESSAGE, "OSError", errno.EMFILE, "/dev/urandom"]
    assert len(after) == 36


def getpid_calls(code: str) -> int:
    done = testkit.run_python(code, prefix=("strace", "-f", "-c", "-e", "trace=getpid"))
    assert done.returncode == 0, testkit.output_of(done)
    rows = [line.split() for line in done.stderr.splitlines() if line.rstrip().endswith(" getpid")]
    return int(rows[0][3]) if rows else 0


@pytest.mark.native_only("the ownership check reads memory; the Python implementation compares os.getpid()")
@pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed")
def test_no_system_call_per_identifier() -> None:
    # The ownership check is a read of memory: 100,000 identifiers of every
    # shape add at most the one getpid of taking ownership.
    baseline = getpid_calls("import tembrel")
    code = """
import tembrel
from tembrel.tembrel_impl import vorndal
for make in (vorndal.uuid7_obj, vorndal.generate_uuid7, vorndal.generate_uuid7_bytes,
             vorndal.generate_uuid7_int, vorndal.uuid7):
    for _ in range(20_000):
        make()
vorndal.uuid7_bytes_many(100_000)
"""
    assert getpid_calls(code) <= baseline + 1


# Makes 200 independent identifiers from one pool (two draws each) and prints
# their low words; the process dumps core after them, or a child forked
# before them dumps core at once.
DUMP_CORE = """
import os, resource
from tembrel.tembrel_impl import vorndal
resource.setrlimit(resource.RLIMIT_CORE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
vorndal._reset_state_for_tests()
vorndal._generate_uuid7_at_bytes(1)          # the pool is full and in use
assert_refused()
if {fork} and os.fork() == 0:
    os.abort()
print(" ".join(vorndal._generate_uuid7_at_bytes(1)[8:].hex() for _ in range(200)), flush=True)
os.wait() if {fork} else os.abort()
"""


@pytest.mark.native_only("the pool is kept out of core files")
@pytest.mark.parametrize(
    ("fork", "refused"),
    [
        pytest.param(False, (), id="the_process"),
        pytest.param(True, (), id="forked_child"),
        # The fallback: the pages are still left out of core files, and the
        # child's fork handler empties the pool where even that is refused.
        pytest.param(False, (WIPEONFORK,), id="the_process-wipe_refused"),
        pytest.param(True, (WIPEONFORK,), id="forked_child-wipe_refused"),
        pytest.param(True, (WIPEONFORK, DONTDUMP), id="forked_child-both_refused"),
    ],
)
def test_core_files_hold_no_pool_bytes(fork: bool, refused: tuple[int, ...], tmp_path: pathlib.Path) -> None:
    pattern = pathlib.Path("/proc/sys/kernel/core_pattern").read_text().strip()
    if pattern.startswith("|") or "/" in pattern:
        pytest.skip(f"core files do not go to the working directory: core_pattern is {pattern!r}")
    # Under AddressSanitizer the callers' copies of recent draws would stay in its fake stack.
    asan = os.environ.get("ASAN_OPTIONS", "") + ":detect_stack_use_after_return=0"
    # Not in development mode: its allocator and fault handler would change what the dump holds.
    env = os.environ | {"ASAN_OPTIONS": asan}
    done = run_scenario(DUMP_CORE.format(fork=fork), *refused, dev=False, cwd=tmp_path, env=env)
    cores = list(tmp_path.glob("core*"))
    if not cores and ("qemu:" in done.stderr or os.environ.get("TEMBREL_EMULATED") == "qemu-user"):
        pytest.skip("qemu-user writes core files of its own, not the kernel's")
    (core,) = cores
    # Each low word holds bits 0 to 61 of a draw, which the pool keeps in
    # little-endian order: its first 7 bytes are known.
    draws = [int(low, 16).to_bytes(8, "little")[:7] for low in done.stdout.split()]
    assert len(draws) == 200, testkit.output_of(done)
    dump = core.read_bytes()
    assert sum(draw in dump for draw in draws) == 0


# Makes identifiers (its pool in use), then waits to be checkpointed; each
# restored copy is told through the file `go` where to write its next
# identifiers, and whether to reseed first.
RESTORED = """
import json, os, time
import tembrel
from tembrel.tembrel_impl import vorndal
vorndal._set_state_for_tests(FAR_FUTURE_MS, 1000)
produce()
open("ready", "w").close()
while not os.path.exists("go"):
    time.sleep(0.01)
out, reseed = open("go").read().split()
if reseed == "True":
    tembrel.reseed()
with open("part", "w") as f:
    json.dump(produce(500), f)
os.rename("part", out)
"""


def wait_for(done, what: str, timeout: float = 30) -> None:  # type: ignore[no-untyped-def]
    deadline = time.monotonic() + timeout
    while not done():
        assert time.monotonic() < deadline, what
        time.sleep(0.02)


@pytest.mark.parametrize("reseed", [False, True])
def test_two_restores_of_one_checkpoint_share_nothing_after_reseed(
    reseed: bool, implementation: str, tmp_path: pathlib.Path
) -> None:
    if shutil.which("criu") is None or os.geteuid() != 0:
        pytest.skip("needs root and criu")
    quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    command = testkit.python_command(testkit.retarget(PRODUCE + RESTORED, implementation))
    env = testkit.implementation_env(implementation)
    target = subprocess.Popen(command, cwd=tmp_path, start_new_session=True, env=env, **quiet)
    wait_for((tmp_path / "ready").exists, "the process never got ready")
    options = ["-D", str(tmp_path), "--shell-job", "-o"]
    dumped = subprocess.run(["criu", "dump", "-t", str(target.pid), *options, "dump.log"], check=False)
    target.kill()
    target.wait()
    if dumped.returncode != 0:
        errors = [line for line in (tmp_path / "dump.log").read_text().splitlines() if "Error" in line]
        pytest.skip(f"criu cannot checkpoint here: {errors[-1] if errors else dumped.returncode}")
    copies = []
    for copy in ("first", "second"):
        restored = subprocess.run(["criu", "restore", "-d", *options, f"{copy}.log"], check=False)
        assert restored.returncode == 0, (tmp_path / f"{copy}.log").read_text()
        (tmp_path / "go").write_text(f"{copy}.json {reseed}")
        wait_for((tmp_path / f"{copy}.json").exists, f"the {copy} copy wrote nothing")
        # The next restore needs the same process id.
        wait_for(lambda: not os.path.exists(f"/proc/{target.pid}"), f"the {copy} copy never exited")
        (tmp_path / "go").unlink()
        copies.append(json.loads((tmp_path / f"{copy}.json").read_text()))
    if reseed:
        assert_disjoint(*copies)
    else:  # what the reseed is for: both copies draw on the checkpoint's pool
        assert tails(copies[0]) & tails(copies[1])

"""The Python module against the program: its samples and messages, interruption and threads."""
import _thread
import os
import re
import subprocess
import threading
import time

import mrcfile
import numpy as np
import pytest

import skarbel

SKARBEL = os.environ["SKARBEL_BIN"]
PHANTOM = os.environ["SKARBEL_PHANTOM"]


def program(folder, *args):
    """Runs the program; returns (status, stdout, stderr)."""
    env = dict(os.environ, CUDA_VISIBLE_DEVICES="")
    r = subprocess.run([SKARBEL, *args], cwd=folder, capture_output=True, text=True, env=env)
    return r.returncode, r.stdout, r.stderr


def phantom(folder, name, nx, ny, thickness, tilts, *extra):
    subprocess.run([PHANTOM, "-x", str(nx), "-y", str(ny), "-z", str(thickness), "-t", str(tilts), *extra,
                    os.path.join(folder, name)], check=True, capture_output=True)
    with mrcfile.open(os.path.join(folder, name + ".mrc")) as m:
        stack = m.data.copy()
    angles = [float(line.split()[0]) for line in open(os.path.join(folder, name + ".tlt"))]
    return stack, angles


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    folder = str(tmp_path_factory.mktemp("small"))
    stack, angles = phantom(folder, "p", 48, 12, 24, 21)
    return folder, stack, angles


def program_volume(folder, args, stack="p.mrc", tilts="p.tlt"):
    status, _, err = program(folder, *args, tilts, stack, "out.mrc")
    assert status == 0, err
    with mrcfile.open(os.path.join(folder, "out.mrc")) as m:
        return m.data.copy()


# (program's arguments, reconstruct's keywords)
CASES = [
    (["-s0", "-z20"], dict(level=0, thickness=20)),
    (["-s1", "-z20"], dict(level=1, thickness=20)),
    (["-s2"], dict()),
    (["-s3", "-z30"], dict(level=3, thickness=30)),
    (["-S", "-i4", "-z20"], dict(method="sirt", iterations=4, thickness=20)),
    (["--exclude=1-2,21", "--slices=3,8", "--batch=2"], dict(exclude="1-2,21", slices=(3, 8), batch=2)),
    (["--radial=0.3,0.05", "--sirt-like=5"], dict(radial=(0.3, 0.05), sirt_like=5)),
    (["--offset=1.5,2", "--shift=1,-2", "--width=40"], dict(offset=(1.5, 2), shift=(1, -2), width=40)),
    (["--bin=2", "--xaxis-tilt=4"], dict(bin=2, xaxis_tilt=4)),
    (["--log=3", "--bin=2"], dict(log=3, bin=2)),
    # Options of files only: the array holds the floats of a MODE 2 file.
    (["-s1"], dict(level=1, mode=12, scale=(1, 100), rotx=True)),
]


@pytest.mark.parametrize("args,keywords", CASES, ids=[" ".join(c[0]) for c in CASES])
def test_equals_the_programs_output(small, args, keywords):
    folder, stack, angles = small
    volume = skarbel.reconstruct(stack, angles, **keywords)
    assert volume.dtype == np.float32 and volume.flags.c_contiguous
    np.testing.assert_array_equal(volume, program_volume(folder, args))


def test_dtypes_and_layouts(small):
    folder, stack, angles = small
    as_float = skarbel.reconstruct(stack, angles, level=1)
    # Strided and Fortran-ordered views of the same samples, and float64, give the same bytes.
    wide = np.zeros((stack.shape[0], stack.shape[1], 2 * stack.shape[2]), np.float32)
    wide[:, :, ::2] = stack
    for view in (wide[:, :, ::2], np.asfortranarray(stack), stack.astype(np.float64)):
        np.testing.assert_array_equal(skarbel.reconstruct(view, tuple(angles), level=1), as_float)
    # Integer stacks as the program reads MRC modes 0 and 1.
    for dtype, mode in ((np.uint8, 0), (np.int16, 1)):
        ints = np.clip(np.rint(stack * 7), np.iinfo(dtype).min, np.iinfo(dtype).max).astype(dtype)
        with mrcfile.new(os.path.join(folder, "ints.mrc"), overwrite=True) as m:
            # The program reads MODE 0 as unsigned bytes; mrcfile writes them from int8.
            m.set_data(ints.view(np.int8) if dtype == np.uint8 else ints)
            assert m.header.mode == mode
        np.testing.assert_array_equal(skarbel.reconstruct(ints, np.array(angles), level=1),
                                      program_volume(folder, ["-s1"], stack="ints.mrc"))


# (reconstruct's keywords, the program's arguments giving the same message, or a message)
ERRORS = [
    (dict(thickness=0), ["-z0"]),
    (dict(radial=(0.7, 1)), ["--radial=0.7,1"]),
    (dict(batch=0), ["--batch=0"]),
    (dict(exclude="1-21"), ["--exclude=1-21"]),
    (dict(method="sirt", sirt_like=3), ["-S", "--sirt-like=3"]),
    (dict(xaxis_tilt=95), ["--xaxis-tilt=95"]),
    (dict(bin=100), ["--bin=100"]),
    (dict(thickness=2 ** 26), ["-z67108864"]),
    (dict(colour=1), ["--colour=1"]),
    (dict(method="art"), 'Bad method "art": "wbp" or "sirt".\n\n'),
    (dict(thickness=2.5), "Bad thickness argument 2.5: an integer that fits 32 bits is needed.\n\n"),
    (dict(thickness=2 ** 40), "Bad thickness argument 1099511627776: an integer that fits 32 bits is needed.\n\n"),
    (dict(thickness="7"), "Bad thickness argument '7': an integer that fits 32 bits is needed.\n\n"),
    (dict(method=2), "Bad method argument 2: a string is needed.\n\n"),
    (dict(log=True), ["--log"]),
    (dict(log=False, bin=100), ["--bin=100"]),
]


@pytest.mark.parametrize("keywords,expected", ERRORS, ids=[str(e[0]) for e in ERRORS])
def test_errors_carry_the_programs_message(small, keywords, expected):
    folder, stack, angles = small
    if isinstance(expected, list):
        status, _, expected = program(folder, *expected, "p.tlt", "p.mrc", "never.mrc")
        assert status == 255
    with pytest.raises(skarbel.Error) as e:
        skarbel.reconstruct(stack, angles, **keywords)
    assert isinstance(e.value, RuntimeError)
    assert str(e.value) == expected
    assert not os.path.exists(os.path.join(folder, "never.mrc"))


def test_memory_refusal_and_input_errors_then_a_run(small):
    folder, stack, angles = small
    start = time.monotonic()
    with pytest.raises(skarbel.Error, match=r"^Not enough memory for this run: [0-9.]+ Mb needed, [0-9.]+ Mb available"):
        skarbel.reconstruct(stack, angles, thickness=40_000_000)
    assert time.monotonic() - start < 1.0  # refused before any large allocation
    with pytest.raises(skarbel.Error, match="^Tilt angles: 20 given for a stack of 21 sections"):
        skarbel.reconstruct(stack, angles[:-1])
    with pytest.raises(skarbel.Error, match="^Tilt angle 3 is not finite"):
        skarbel.reconstruct(stack, angles[:2] + [float("nan")] + angles[3:])
    for bad in (stack[0], stack.astype(np.complex64)):
        with pytest.raises(skarbel.Error, match="^Stack not acceptable"):
            skarbel.reconstruct(bad, angles)
    # The interpreter and the module go on.
    np.testing.assert_array_equal(skarbel.reconstruct(stack, angles), program_volume(folder, []))


def test_reconstruct_file_and_estimate(small):
    folder, stack, angles = small
    out = os.path.join(folder, "file.mrc")
    for keywords, args in ((dict(level=1, thickness=20), ["-s1", "-z20"]), (dict(mode=12, rotx=True), ["--mode=12", "--rotx"])):
        skarbel.reconstruct_file(os.path.join(folder, "p.tlt"), os.path.join(folder, "p.mrc"), out, **keywords)
        program(folder, *args, "p.tlt", "p.mrc", "out.mrc")
        assert open(out, "rb").read() == open(os.path.join(folder, "out.mrc"), "rb").read()
    with pytest.raises(skarbel.Error, match=r"^\n Unable to open input file"):
        skarbel.reconstruct_file(os.path.join(folder, "p.tlt"), os.path.join(folder, "none.mrc"), out)
    assert sorted(n for n in os.listdir(folder) if "skarbel-" in n) == []

    figures = skarbel.estimate(stack, angles, thickness=20)
    _, text, _ = program(folder, "--estimate", "-z20", "p.tlt", "p.mrc", "est.mrc")
    assert f"Output file: {figures['output_bytes']} bytes, " in text
    for name, m in figures["methods"].items():
        line = f"{name}: {m['device_mb']:.2f} Mb device, {m['verdict']}"
        assert re.search("^" + re.escape(line), text, re.M), (line, text)
    assert f"Host memory: {figures['host_memory_mb']:.2f} Mb, {figures['host_memory_verdict']}\n" in text


@pytest.fixture(scope="module")
def long_run(tmp_path_factory):
    """A SIRT run of many batches lasting a few seconds."""
    folder = str(tmp_path_factory.mktemp("long"))
    stack, angles = phantom(folder, "q", 64, 400, 32, 41)
    return stack, angles, dict(method="sirt", iterations=30, thickness=32, batch=2)


def test_progress_and_its_exception(long_run):
    stack, angles, keywords = long_run
    seen = []

    def progress(done, total):
        assert threading.current_thread() is threading.main_thread()
        seen.append((done, total))
        if done >= 40:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        skarbel.reconstruct(stack, angles, progress=progress, **keywords)
    assert seen[0] == (2, 400) and seen[-1] == (40, 400)
    assert [d for d, _ in seen] == list(range(2, 42, 2))


def test_ctrl_c_stops_within_a_second(long_run, small):
    stack, angles, keywords = long_run
    timer = threading.Timer(0.3, _thread.interrupt_main)
    start = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        skarbel.reconstruct(stack, angles, **keywords)
    assert time.monotonic() - start < 1.3
    folder, small_stack, small_angles = small
    np.testing.assert_array_equal(skarbel.reconstruct(small_stack, small_angles), program_volume(folder, []))


def test_two_threads_reconstruct_at_once(small):
    """Two calls run at once (each waits in progress for the other's batch) and return what they return alone."""
    folder, stack, angles = small
    other = np.ascontiguousarray(stack[:, ::-1, ::-1]) * 2
    jobs = [(stack, dict(level=0, thickness=20, batch=2)), (other, dict(method="sirt", iterations=3, bin=2, batch=1))]
    expected = [skarbel.reconstruct(s, angles, **k) for s, k in jobs]
    started = [threading.Event() for _ in jobs]
    met, waited = [False] * len(jobs), [False] * len(jobs)
    results = [None] * len(jobs)

    def work(i):
        def progress(done, total):
            started[i].set()
            if not waited[i]:
                waited[i] = True
                met[i] = started[1 - i].wait(20)

        results[i] = skarbel.reconstruct(jobs[i][0], angles, progress=progress, **jobs[i][1])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert met == [True, True]
    for r, e in zip(results, expected):
        np.testing.assert_array_equal(r, e)


def test_position_as_the_program(tmp_path):
    folder = str(tmp_path)
    stack, angles = phantom(folder, "s", 128, 96, 1, 61, "-p", "2,-1,10,50")
    status, out, err = program(folder, "--position-only", "-z150", "s.tlt", "s.mrc", "o.mrc")
    assert status == 0, err
    found = skarbel.position(stack, angles, thickness=150)
    assert found["options"] == out.splitlines()[1]
    assert found["thickness"] == int(found["options"].split("-z")[1])
    volume = skarbel.reconstruct(stack, angles, thickness=150, position=True)
    assert np.array_equal(volume, skarbel.reconstruct(stack, angles, **found["keywords"]))
    assert np.array_equal(volume, program_volume(folder, ["--position", "-z150"], stack="s.mrc", tilts="s.tlt"))
    with pytest.raises(skarbel.Error, match="^Position not found: too little texture"):
        skarbel.position(np.zeros((61, 32, 128), np.float32), angles, thickness=150)


def test_keywords_are_the_programs_options(small):
    """Every long option of --help is a keyword of the calls (but the four that end or replace a run), with
    "_" for "-", and help() shows it in the signature beside the single letters' and progress."""
    folder, stack, angles = small
    _, text, _ = program(folder, "--help")
    options = set(re.findall(r"^  --([a-z-]+)", text, re.M)) - {"help", "version", "estimate", "position-only"}
    signature = skarbel.reconstruct.__doc__.split("\n\n")[0]
    assert {o.replace("-", "_") for o in options} | {"thickness", "gpu", "level", "method", "iterations", "progress"} == set(re.findall(r"(\w+)=", signature))
    for name in ("estimate", "position_only", "help"):
        with pytest.raises(skarbel.Error, match=f"^Unknown option --{name.replace('_', '-')}.\n"):
            skarbel.reconstruct(stack, angles, **{name: True})

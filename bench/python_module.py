#!/usr/bin/python3
"""The Python module's skarbel.reconstruct (array in, array out) against the
program end to end (stack file in, volume file out) on the 512 x 512 x 61
phantom stack, thickness 512, WBP level 2, run alternately.
   PYTHONPATH=build/python /usr/bin/python3 bench/python_module.py [ROUNDS] [BUILD]"""
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

import mrcfile
import numpy as np

import skarbel

rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 3
build = sys.argv[2] if len(sys.argv) > 2 else os.path.join(os.path.dirname(__file__), "..", "build")
program = os.path.join(build, "skarbel")
with tempfile.TemporaryDirectory(prefix="skarbel_py_bench_") as d:
    subprocess.run([os.path.join(build, "tools", "skarbel_phantom"), "-x", "512", "-y", "512", "-z", "512", "-t",
                    "61", "-r", "60", os.path.join(d, "p")], check=True, capture_output=True)
    os.remove(os.path.join(d, "p_truth.mrc"))
    with mrcfile.open(os.path.join(d, "p.mrc")) as m:
        stack = m.data.copy()
    angles = [float(line.split()[0]) for line in open(os.path.join(d, "p.tlt"))]
    out = os.path.join(d, "o.mrc")

    def cpu(who):
        u = resource.getrusage(who)
        return u.ru_utime + u.ru_stime

    def run_program():
        if os.path.exists(out):
            os.remove(out)
        c0, t0 = cpu(resource.RUSAGE_CHILDREN), time.perf_counter()
        subprocess.run([program, "-s2", "-z512", os.path.join(d, "p.tlt"), os.path.join(d, "p.mrc"), out],
                       check=True, capture_output=True)
        return time.perf_counter() - t0, cpu(resource.RUSAGE_CHILDREN) - c0

    def run_module():
        c0, t0 = cpu(resource.RUSAGE_SELF), time.perf_counter()
        volume = skarbel.reconstruct(stack, angles, thickness=512, level=2)
        return (time.perf_counter() - t0, cpu(resource.RUSAGE_SELF) - c0), volume

    ratios = []
    for r in range(rounds):
        # Alternate which one goes first.
        if r % 2 == 0:
            cli = run_program()
            module, volume = run_module()
        else:
            module, volume = run_module()
            cli = run_program()
        with mrcfile.open(out) as m:
            same = np.array_equal(m.data, volume)
        del volume
        ratios.append(module[0] / cli[0])
        print(f"round {r + 1}: program {cli[0]:.2f} s (cpu {cli[1]:.2f}) | module {module[0]:.2f} s "
              f"(cpu {module[1]:.2f}) | ratio {ratios[-1]:.2f} | samples {'identical' if same else 'DIFFERENT'}",
              flush=True)
    print(f"median ratio module / program: {statistics.median(ratios):.2f}")

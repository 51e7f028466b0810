#!/usr/bin/env python3
"""How closely --sirt-like=N imitates -S -iN, and what it costs.

On the analytic phantom (skarbel_phantom) of 512 x 16 x 61 (+-60 degrees in steps
of 2, thickness 256), clean and with Gaussian noise of sigma = 20 % of the
projections' standard deviation (fixed seed), for N = 5, 10, 20, 30, over the
interior of the slices (5 % of the width and of the thickness away from the edges):

  corr   Pearson correlation of --sirt-like=N with -S -iN;
  ratio  RMS(sirt-like - SIRT) / std(SIRT), divided by the same figure for plain WBP;
  truth  correlation of --sirt-like=N with the phantom's ground truth (SIRT's own in
         brackets);
  time   processor time (user + system) of the --sirt-like runs over that of the
         plain WBP runs, ROUNDS runs of each on one thread, alternating (whole runs of about 0.1 s:
         start-up, reading, filtering, back-projection, writing).

With --big R it also times R alternating pairs of whole runs, plain WBP and
--sirt-like=30, on a 512 x 512 x 61 stack at thickness 512 (wall seconds, all threads).

Needs python3 with numpy and mrcfile.
    bench/sirt_like_figures.py [--build BUILD_DIR] [--level L] [--rounds R] [--keep DIR]
"""
import argparse
import os
import resource
import subprocess
import sys
import time
import tempfile

import mrcfile
import numpy as np

ITERATIONS = (5, 10, 20, 30)


def load(path):
    with mrcfile.open(path, permissive=True) as m:
        return m.data.astype(np.float64)


def interior(volume):
    slices, thickness, width = volume.shape
    mz, mx = int(round(0.05 * thickness)), int(round(0.05 * width))
    return volume[:, mz:thickness - mz, mx:width - mx]


def correlation(x, y):
    x = x - x.mean()
    y = y - y.mean()
    return float((x * y).sum() / np.sqrt((x * x).sum() * (y * y).sum()))


def normalised_rms(x, reference):
    return float(np.sqrt(((x - reference) ** 2).mean()) / reference.std())


def run(skarbel, args, out, threads=1):
    """Runs skarbel; returns the user plus system seconds it took."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    done = subprocess.run([skarbel] + args + [out], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                          env=dict(os.environ, OMP_NUM_THREADS=str(threads)))
    if done.returncode != 0:
        sys.exit('%s failed: %s' % (' '.join([skarbel] + args + [out]), done.stderr))
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--build', default=os.path.join(root, 'build'))
    parser.add_argument('--level', type=int, default=2)
    parser.add_argument('--rounds', type=int, default=9)
    parser.add_argument('--big', type=int, default=0)
    parser.add_argument('--keep', help='work in this folder and keep its files')
    a = parser.parse_args()
    skarbel = os.path.join(a.build, 'skarbel')
    phantom = os.path.join(a.build, 'tools', 'skarbel_phantom')
    d = a.keep or tempfile.mkdtemp(prefix='skarbel_sirt_like_')
    os.makedirs(d, exist_ok=True)
    p = os.path.join(d, 'p')
    subprocess.run([phantom, '-x', '512', '-y', '16', '-z', '256', '-t', '61', '-r', '60', p],
                   check=True, stdout=subprocess.DEVNULL)
    with mrcfile.open(p + '.mrc', permissive=True) as m:
        clean = m.data.astype(np.float32)
    rng = np.random.default_rng(22)
    noisy = (clean + rng.normal(0.0, 0.2 * float(clean.std()), clean.shape)).astype(np.float32)
    with mrcfile.new(p + '_noisy.mrc', overwrite=True) as m:
        m.set_data(noisy)
    truth = interior(load(p + '_truth.mrc'))
    tlt = p + '.tlt'
    common = ['-z256', '-s%d' % a.level]
    print('| noise | N | corr with SIRT | RMS ratio | corr with truth (SIRT) | time ratio |')
    print('|---|---|---|---|---|---|')
    for label, stack in (('none', p + '.mrc'), ('20 %', p + '_noisy.mrc')):
        wbp_out = os.path.join(d, 'wbp.mrc')
        run(skarbel, common + [tlt, stack], wbp_out)
        wbp = interior(load(wbp_out))
        for n in ITERATIONS:
            sirt_out = os.path.join(d, 'sirt%d.mrc' % n)
            run(skarbel, ['-z256', '-S', '-i%d' % n, tlt, stack], sirt_out)
            sirt = interior(load(sirt_out))
            like_out = os.path.join(d, 'like%d.mrc' % n)
            plain, shaped = [], []
            for _ in range(a.rounds):
                plain.append(run(skarbel, common + [tlt, stack], wbp_out))
                shaped.append(run(skarbel, common + ['--sirt-like=%d' % n, tlt, stack], like_out))
            like = interior(load(like_out))
            print('| %s | %d | %.3f | %.3f | %.3f (%.3f) | %.2f |' % (
                label, n, correlation(like, sirt), normalised_rms(like, sirt) / normalised_rms(wbp, sirt),
                correlation(like, truth), correlation(sirt, truth), sum(shaped) / sum(plain)), flush=True)
    print('plain WBP: corr with truth %.3f (noisy stack)' % correlation(wbp, truth))
    if a.big > 0:
        subprocess.run([phantom, '-x', '512', '-y', '512', '-z', '512', '-t', '61', '-r', '60', p + '_big'],
                       check=True, stdout=subprocess.DEVNULL)
        os.remove(p + '_big_truth.mrc')
        big = [p + '_big.tlt', p + '_big.mrc']
        for r in range(a.big):
            walls = []
            for extra in ([], ['--sirt-like=30']):
                start = time.perf_counter()
                run(skarbel, ['-z512', '-s%d' % a.level] + extra + big, os.path.join(d, 'big.mrc'), os.cpu_count())
                walls.append(time.perf_counter() - start)
            print('512 x 512 x 61, thickness 512, round %d: plain WBP %.2f s, --sirt-like=30 %.2f s (ratio %.2f)'
                  % (r + 1, walls[0], walls[1], walls[1] / walls[0]), flush=True)
    if not a.keep:
        for name in os.listdir(d):
            os.remove(os.path.join(d, name))
        os.rmdir(d)


if __name__ == '__main__':
    sys.exit(main())

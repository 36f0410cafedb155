"""Write a trajectory with rux.open, then analyse it as a sequence of frames.

A random walk of particles in a periodic box: the particle types and the box
are written once (frame 0), positions, energy and step every frame, units and
the timestep as file attributes. Reading back: the frame count and names, one
frame, the energy series of the second half, the mean-squared displacement
from one series, every tenth frame as a view, and a check that everything read
equals what was written.

Usage:
    python examples/trajectory.py [FILE] [--frames N] [--particles N]
"""

import argparse
import os
import sys
import tempfile

import numpy as np

import rux

BOX = 10.0


def simulate(n_frames, n_particles, seed=7):
    """Yields unwrapped positions and a potential energy for each step."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(0.0, BOX, size=(n_particles, 3))
    for _ in range(n_frames):
        yield x.astype(np.float32), float(0.5 * np.sum((np.mod(x, BOX) - BOX / 2) ** 2))
        x = x + rng.normal(0.0, 0.05, size=x.shape)


def write(path, n_frames, n_particles):
    types = "".join(np.random.default_rng(11).choice(list("ABC"), n_particles))
    written = []
    with rux.open(path, "w", "rux example", "md-trajectory", (1, 0), publish_every=1.0) as traj:
        traj.attrs["units"] = {"length": "nm", "energy": "kJ/mol", "time": "ps"}
        traj.attrs["timestep"] = 0.002
        for step, (positions, energy) in enumerate(simulate(n_frames, n_particles)):
            frame = {"particles/position": positions, "log/energy": energy, "step": step}
            if step == 0:
                frame["particles/types"] = types
                frame["box"] = np.full(3, BOX)
            traj.append(frame)
            written.append((positions, energy))
    return types, written


def analyse(path, types, written):
    with rux.open(path) as traj:
        print(repr(traj))
        print(f"attributes: {dict(traj.attrs)}")
        last = traj[-1]
        print(f"frame {last.index}: holds {last.written}; box {last['box']} (written once)")
        half = traj[len(traj) // 2 :].series("log/energy")
        print(f"energy, second half: {len(half)} frames, mean {half.mean():.2f}")
        x = traj.series("particles/position").astype(np.float64)  # (T, N, 3)
        msd = ((x - x[0]) ** 2).sum(axis=2).mean(axis=1)
        print(f"mean-squared displacement at the last frame: {msd[-1]:.4f} nm^2")
        every_tenth = traj[::10]
        print(f"every tenth frame: {len(every_tenth)} frames, steps {every_tenth.series('step')[:5]}...")
        same = (
            len(traj) == len(written)
            and all(frame["particles/types"] == types for frame in traj[::50])
            and np.array_equal(x.astype(np.float32), np.stack([p for p, _ in written]))
            and np.array_equal(traj.series("log/energy"), [e for _, e in written])
        )
    print(f"read back matches written data: {'yes' if same else 'NO'}")
    return same


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file", nargs="?", help="trajectory file to write")
    parser.add_argument("--frames", type=int, default=300)
    parser.add_argument("--particles", type=int, default=64)
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as scratch:
        path = args.file or os.path.join(scratch, "trajectory.rux")
        types, written = write(path, args.frames, args.particles)
        return 0 if analyse(path, types, written) else 1


if __name__ == "__main__":
    sys.exit(main())

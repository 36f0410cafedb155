"""Write a small molecular-dynamics-like trajectory with rux.fl, then read it back.

The script simulates a few hundred frames of particles doing a random walk in
a periodic box, writes one frame per step (positions as float32 (N, 3), the
particle types once as a str and as uint32 ids, and the potential energy as a
scalar per frame), closes the file, reopens it read-only and prints a short
summary computed from what it reads back.

Usage:
    python examples/write_read_trajectory.py [FILE] [--frames N] [--particles N]

Without FILE the trajectory is written to a temporary directory and removed
afterwards.
"""

import argparse
import os
import sys
import tempfile

import numpy

import rux.fl

SCHEMA = "md-trajectory"
SCHEMA_VERSION = (1, 0)
TYPE_NAMES = "ABC"
BOX = 10.0


def simulate(n_frames, n_particles, seed=7):
    """Yields (positions, potential energy) for each frame of a random walk."""
    rng = numpy.random.default_rng(seed)
    positions = rng.uniform(0.0, BOX, size=(n_particles, 3)).astype(numpy.float32)
    for _ in range(n_frames):
        # A harmonic pull towards the box centre gives an energy that varies.
        energy = float(0.5 * numpy.sum((positions - BOX / 2).astype(numpy.float64) ** 2))
        yield positions, energy
        step = rng.normal(0.0, 0.05, size=positions.shape).astype(numpy.float32)
        positions = numpy.mod(positions + step, BOX).astype(numpy.float32)


def particle_types(n_particles, seed=11):
    rng = numpy.random.default_rng(seed)
    type_ids = rng.integers(0, len(TYPE_NAMES), size=n_particles).astype(numpy.uint32)
    return type_ids, "".join(TYPE_NAMES[i] for i in type_ids)


def write_trajectory(path, n_frames, n_particles):
    type_ids, type_letters = particle_types(n_particles)
    energies = []
    with rux.fl.open(
        path, "w", application="rux example", schema=SCHEMA, schema_version=SCHEMA_VERSION
    ) as f:
        for frame, (positions, energy) in enumerate(simulate(n_frames, n_particles)):
            if frame == 0:
                f.write_chunk("particles/types", type_letters)
                f.write_chunk("particles/typeid", type_ids)
            f.write_chunk("particles/position", positions)
            f.write_chunk("log/potential_energy", numpy.array([energy]))
            f.end_frame()
            energies.append(energy)
    return numpy.array(energies)


def summarise(path, written_energies):
    with rux.fl.open(path, "r", schema=SCHEMA) as f:
        n_frames = f.nframes
        names = f.find_matching_chunk_names("")
        letters = f.read_chunk(0, "particles/types")
        type_ids = f.read_chunk(0, "particles/typeid")
        first = f.read_chunk(0, "particles/position")
        last = f.read_chunk(n_frames - 1, "particles/position")
        energies = numpy.concatenate(
            [f.read_chunk(frame, "log/potential_energy") for frame in range(n_frames)]
        )
        logged = [name for name in names if name.startswith("log/")]
        print(f"file: {f.name} ({os.path.getsize(f.name)} bytes)")
        print(
            f"application: {f.application}; schema: {f.schema} "
            f"{f.schema_version[0]}.{f.schema_version[1]}; "
            f"layout version {f.rux_version[0]}.{f.rux_version[1]}"
        )
    counts = ", ".join(f"{name}: {letters.count(name)}" for name in TYPE_NAMES)
    displacement = numpy.linalg.norm(last.astype(numpy.float64) - first, axis=1).mean()
    print(f"frames: {n_frames}")
    print(f"chunk names: {', '.join(names)}")
    print(f"logged quantities: {', '.join(logged)}")
    print(f"particles: {len(letters)} ({counts})")
    print(
        f"positions: {first.dtype} {first.shape} per frame; "
        f"mean displacement from frame 0 to {n_frames - 1}: {displacement:.3f}"
    )
    print(
        f"potential energy: min {energies.min():.2f}, mean {energies.mean():.2f}, "
        f"max {energies.max():.2f}"
    )
    consistent = (
        numpy.array_equal(energies, written_energies)
        and "".join(TYPE_NAMES[i] for i in type_ids) == letters
    )
    print(f"read back matches written data: {'yes' if consistent else 'NO'}")
    return consistent


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file", nargs="?", help="trajectory file to write")
    parser.add_argument("--frames", type=int, default=300)
    parser.add_argument("--particles", type=int, default=64)
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as scratch:
        path = args.file or os.path.join(scratch, "trajectory.rux")
        written = write_trajectory(path, args.frames, args.particles)
        return 0 if summarise(path, written) else 1


if __name__ == "__main__":
    sys.exit(main())

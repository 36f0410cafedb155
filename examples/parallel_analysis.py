"""Per-frame analysis of a rux trajectory across processes.

For every frame the script computes the radius of gyration of the particles
and their mean-squared displacement from frame 0, reading the positions chunk
of that frame. The frames are shared out among worker processes: with
--backend dask a dask.distributed LocalCluster of worker processes, with
--backend processes a concurrent.futures.ProcessPoolExecutor, with
--backend serial none (everything runs here). Each worker receives the file
as a pickled read-only RUXFile, which reopens it in the worker. The parallel
result is compared with a serial pass, value for value.

Usage:
    python examples/parallel_analysis.py [FILE] [--backend dask|processes|serial]
        [--workers N] [--frames N] [--particles N] [--chunk NAME]

Without FILE a trajectory (a random walk, positions not wrapped into a box)
is written to a temporary directory first. With FILE, an existing file is
analysed as it is; --chunk names its float (N, 3) positions chunk.
"""

import argparse
import functools
import os
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor

import numpy

import rux.fl
from rux.parallel import map_frames

SCHEMA = "md-trajectory"
POSITIONS = "particles/position"


def write_random_walk(path, n_frames, n_particles, seed=3):
    rng = numpy.random.default_rng(seed)
    positions = rng.normal(0.0, 2.0, size=(n_particles, 3)).astype(numpy.float32)
    with rux.fl.open(
        path, "w", application="rux parallel example", schema=SCHEMA, schema_version=(1, 0)
    ) as f:
        for _ in range(n_frames):
            f.write_chunk(POSITIONS, positions)
            f.end_frame()
            step = rng.normal(0.0, 0.1, size=positions.shape).astype(numpy.float32)
            positions = positions + step


def frame_statistics(reader, frame, chunk):
    """(radius of gyration, mean-squared displacement from frame 0) of one frame."""
    positions = reader.read_chunk(frame, chunk).astype(numpy.float64)
    start = reader.read_chunk(0, chunk).astype(numpy.float64)
    centred = positions - positions.mean(axis=0)
    radius_of_gyration = numpy.sqrt(numpy.mean(numpy.sum(centred**2, axis=1)))
    msd = numpy.mean(numpy.sum((positions - start) ** 2, axis=1))
    return float(radius_of_gyration), float(msd)


def analyse(path, function, backend, workers):
    """Per-frame results computed with the given backend, and the seconds it took."""
    started = time.perf_counter()
    if backend == "serial":
        results = map_frames(path, function)
    elif backend == "processes":
        with ProcessPoolExecutor(max_workers=workers) as pool:
            results = map_frames(path, function, executor=pool)
    else:
        from dask.distributed import Client, LocalCluster

        with LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster, Client(cluster) as client:
            results = map_frames(path, function, executor=client)
    return results, time.perf_counter() - started


def report(path, args, serial, parallel):
    """Prints a summary; true when the parallel results equal the serial ones."""
    (serial_results, serial_seconds), (results, seconds) = serial, parallel
    table = numpy.array(results)
    with rux.fl.open(path, "r") as f:
        print(f"file: {path} ({os.path.getsize(path)} bytes, {f.nframes} frames)")
    workers = "" if args.backend == "serial" else f", {args.workers} workers"
    print(f"backend: {args.backend}{workers}")
    print(f"serial pass {serial_seconds:.2f} s; {args.backend} pass {seconds:.2f} s"
          + (" (including starting the workers)" if workers else ""))
    print(
        f"radius of gyration: frame 0 {table[0, 0]:.4f}, last frame {table[-1, 0]:.4f}, "
        f"mean {table[:, 0].mean():.4f}"
    )
    print(f"mean-squared displacement at the last frame: {table[-1, 1]:.4f}")
    same = results == serial_results
    print(f"parallel result equals the serial one: {'yes' if same else 'NO'}")
    return same


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file", nargs="?", help="trajectory to analyse (default: write one)")
    parser.add_argument("--backend", choices=["dask", "processes", "serial"], default="processes")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--frames", type=int, default=400, help="frames of the written trajectory")
    parser.add_argument("--particles", type=int, default=2000)
    parser.add_argument("--chunk", default=POSITIONS, help="positions chunk of FILE")
    args = parser.parse_args(argv)
    function = functools.partial(frame_statistics, chunk=args.chunk)
    with tempfile.TemporaryDirectory() as scratch:
        path = args.file
        if path is None:
            path = os.path.join(scratch, "random_walk.rux")
            write_random_walk(path, args.frames, args.particles)
        serial = analyse(path, function, "serial", 1)
        parallel = analyse(path, function, args.backend, args.workers)
        return 0 if report(path, args, serial, parallel) else 1


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Convert SPHERE files to WAV (or raw PCM) on a Dask cluster, one task per file.

    python examples/dask_convert.py INPUT... [-o OUTDIR] [--pcm] [--force]
                                    [--scheduler ADDRESS | --workers N]

INPUTs and outputs follow sph2wav: an INPUT is a file, or a directory searched
recursively for `*.sph`, and for `*.wv1`, `*.wv2` and `*.wav` files that
begin with `NIST_1A`; outputs mirror the input tree under OUTDIR (default:
beside each input). An existing output is never replaced without --force.
Each output is written to a temporary file in its own directory and renamed
into place, so a reader never sees half a file, and a task that fails leaves
nothing behind.

A file that fails is reported as `PATH: MESSAGE` on standard error and the
others carry on: each task returns its error instead of raising it, so one
bad file never fails the job. The exit status is 0 when all converted and 1
when any failed.

Without --scheduler a LocalCluster of N worker processes (default: one per
core) is started. With --scheduler tcp://HOST:8786 the work goes to a running
cluster; its workers need korrin_native installed and the same view of the
paths as this machine (a shared file system).

Why processes, one thread each: every korrin_native call holds the
interpreter lock for its whole length, so threads of one worker take turns
and convert no faster than one. Parallelism comes from processes.

Only the `distributed` package is needed beside korrin_native, and only to
run this example.
"""

from __future__ import annotations

import argparse
import os
import sys
import uuid
from pathlib import Path

CANDIDATES = {".sph": False, ".wv1": True, ".wv2": True, ".wav": True}  # suffix -> needs the magic


def is_candidate(path: Path) -> bool:
    """Whether a directory search takes this file, as sph2wav decides it: a
    regular file (or a link to one) named *.sph, or *.wv1, *.wv2, *.wav
    beginning with NIST_1A."""
    needs_magic = CANDIDATES.get(path.suffix.lower())
    if needs_magic is None or not path.is_file():
        return False
    if not needs_magic:
        return True
    try:
        with open(path, "rb") as f:
            return f.read(7) == b"NIST_1A"
    except OSError:
        return False


def plan(inputs: list[Path], outdir: Path | None, extension: str) -> list[tuple[Path, Path]]:
    """(input, output) for every file to convert. Directories are searched
    without following links to directories, like sph2wav does."""
    jobs = []
    for given in inputs:
        if not given.is_dir():
            base = outdir if outdir is not None else given.parent
            jobs.append((given, base / Path(given.name).with_suffix(extension)))
            continue
        found = []
        for dirpath, _, filenames in os.walk(given):
            found += [Path(dirpath, name) for name in filenames if is_candidate(Path(dirpath, name))]
        base = outdir if outdir is not None else given
        for path in sorted(found, key=lambda p: p.relative_to(given).parts):
            jobs.append((path, base / path.relative_to(given).with_suffix(extension)))
    return jobs


def write_new(target: Path, data: bytes, force: bool, shown: str) -> None:
    """Writes `data` to a temporary file beside `target`, then renames it into
    place: with `force`, over whatever is there; without, only where nothing
    is (a hard link, which fails if the name exists, is the exclusive rename
    that Python offers). The file gets the modes open() gives, as sph2wav's
    outputs do. `shown` is the target's name in messages."""
    target.parent.mkdir(parents=True, exist_ok=True)
    temp = target.parent / f".{target.name[:200]}.tmp-{os.getpid()}-{uuid.uuid4().hex}"
    fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        if force:
            os.replace(temp, target)
        else:
            try:
                os.link(temp, target)
            except FileExistsError:
                raise FileExistsError(f"{shown} already exists (use --force to replace it)") from None
    finally:
        if os.path.lexists(temp):
            os.unlink(temp)


def convert_one(source: str, target: str, pcm: bool, force: bool, cwd: str) -> str | None:
    """One task: converts `source` into `target` (relative paths are taken
    from `cwd`, the submitting process's directory, since a worker has its
    own). Returns None on success and the message on failure; never raises
    for a bad file or a failed write, so the job goes on."""
    import korrin_native

    source_path, target_path = Path(cwd, source), Path(cwd, target)
    try:
        if target_path.exists() and target_path.samefile(source_path):
            return f"{target} is the input itself"
        converted = (korrin_native.decode_pcm if pcm else korrin_native.transcode)(source_path.read_bytes())
        write_new(target_path, converted, force, target)
    except (ValueError, FileExistsError) as error:
        return str(error)
    except OSError as error:
        return f"{error.filename or target}: {error.strerror}"
    return None


def convert(client, jobs: list[tuple[Path, Path]], pcm: bool = False, force: bool = False) -> dict[str, str | None]:
    """Runs one task per job on `client` and returns {input: None or message}
    in the order of `jobs`, inputs named as they are in `jobs`."""
    from distributed import wait

    # The workers import this file as a module to run its functions: on a
    # remote cluster they need not have it.
    client.upload_file(__file__)
    cwd = os.getcwd()
    futures = [
        client.submit(convert_one, str(source), str(target), pcm, force, cwd, pure=False) for source, target in jobs
    ]
    wait(futures)
    # A task returns its file's error; one that raised anyway (its worker
    # died, say) is reported like a bad file too.
    results = {
        str(source): future.result() if future.status == "finished" else f"task failed: {future.exception()!r}"
        for (source, _), future in zip(jobs, futures)
    }
    client.cancel(futures)
    return results


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Convert SPHERE files on a Dask cluster.")
    parser.add_argument("inputs", nargs="+", type=Path, metavar="INPUT")
    parser.add_argument("-o", dest="outdir", type=Path, help="mirror the inputs under OUTDIR")
    parser.add_argument("--pcm", action="store_true", help="raw little-endian PCM instead of WAV")
    parser.add_argument("--force", action="store_true", help="replace existing outputs")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", help="address of a running scheduler, e.g. tcp://host:8786")
    where.add_argument(
        "--workers",
        type=int,
        default=os.cpu_count() or 1,
        help="worker processes of the local cluster (default: one per core)",
    )
    args = parser.parse_args(argv)

    from distributed import Client, LocalCluster

    jobs = plan(args.inputs, args.outdir, ".pcm" if args.pcm else ".wav")
    if args.scheduler:
        client, cluster = Client(args.scheduler), None
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None)
        client = Client(cluster)
    try:
        results = convert(client, jobs, pcm=args.pcm, force=args.force)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    failed = {source: message for source, message in results.items() if message is not None}
    for source, message in failed.items():
        print(f"{source}: {message}", file=sys.stderr)
    print(f"{len(results) - len(failed)} of {len(results)} files converted, {len(failed)} failed", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

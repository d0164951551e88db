"""Builds the wheel of the running interpreter and tags it for the oldest glibc it runs on.

    python3.X tools/build_wheel.py --outdir DIR [--build-dir DIR]

The shared objects link libc alone, so the wheel runs on any Linux whose glibc
provides every symbol version they import. The newest of those versions, read
with `objdump -T`, becomes the wheel's manylinux tag; a shared object that
needs any library besides libc stops the build instead.
"""

import argparse
import pathlib
import re
import subprocess
import sys
import tempfile
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
ONLY_NEEDED = {"libc.so.6"}


def run(*command):
    proc = subprocess.run(command, capture_output=True, text=True)
    if proc.returncode != 0:
        sys.exit(f"build_wheel: {' '.join(map(str, command))} failed\n{proc.stdout}{proc.stderr}")
    return proc.stdout


def glibc_versions(path):
    """The GLIBC_x.y symbol versions a shared object imports, as (x, y) tuples."""
    return {(int(major), int(minor))
            for major, minor in re.findall(r"\bGLIBC_(\d+)\.(\d+)(?:\.\d+)?\b", run("objdump", "-T", path))}


def needed_libraries(path):
    return set(re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", run("readelf", "-d", path)))


def minimum_glibc(wheel):
    """The oldest glibc (major, minor) that every shared object in `wheel` runs on."""
    with tempfile.TemporaryDirectory() as scratch, zipfile.ZipFile(wheel) as archive:
        objects = [name for name in archive.namelist() if name.endswith(".so")]
        if not objects:
            sys.exit(f"build_wheel: {wheel.name} holds no shared object")
        newest = (2, 2)
        for name in objects:
            path = archive.extract(name, scratch)
            if extra := needed_libraries(path) - ONLY_NEEDED:
                sys.exit(f"build_wheel: {name} needs {', '.join(sorted(extra))}; "
                         "the wheel would not be portable")
            newest = max(newest, *glibc_versions(path))
        return newest


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--outdir", type=pathlib.Path, required=True)
    parser.add_argument("--build-dir", type=pathlib.Path,
                        help="CMake build directory (default: a temporary one)")
    args = parser.parse_args()
    args.outdir.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as staging:
        command = [sys.executable, "-m", "build", "--wheel", "--no-isolation", "--outdir", staging]
        if args.build_dir:
            command.append(f"--config-setting=build-dir={args.build_dir}")
        run(*command, str(ROOT))
        (wheel,) = pathlib.Path(staging).glob("*.whl")
        major, minor = minimum_glibc(wheel)
        built_for = wheel.stem.rsplit("-", 1)[1]
        if not built_for.startswith("linux_"):
            sys.exit(f"build_wheel: {wheel.name} is not a Linux wheel")
        platform = f"manylinux_{major}_{minor}_{built_for.removeprefix('linux_')}"
        run(sys.executable, "-m", "wheel", "tags", "--remove", f"--platform-tag={platform}", str(wheel))
        (tagged,) = pathlib.Path(staging).glob("*.whl")
        target = args.outdir / tagged.name
        tagged.replace(target)
    print(target)


if __name__ == "__main__":
    main()

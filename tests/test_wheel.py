"""The portable wheel and the source distribution, as a user installs them."""

import os
import shutil
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).parents[1]
pytestmark = pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""), reason="builds and installs, not the engine"
)


@pytest.fixture(scope="module")
def wheel():
    """The repaired wheel: the one scripts/test built (OQ_WHEEL), else built here."""
    given = os.environ.get("OQ_WHEEL")
    if given:
        return Path(given)
    done = subprocess.run(
        [ROOT / "scripts" / "wheel"], capture_output=True, text=True, timeout=3600, cwd=ROOT
    )
    assert done.returncode == 0, done.stderr[-4000:]
    return Path(done.stdout.split()[-1])


def test_the_wheel_is_repaired_to_a_manylinux_tag_with_its_libraries_inside(wheel):
    assert "manylinux_" in wheel.name and wheel.name.endswith("_x86_64.whl")
    shown = subprocess.run(
        [sys.executable, "-m", "auditwheel", "show", wheel], capture_output=True, text=True
    )
    assert shown.returncode == 0 and 'platform tag: "manylinux_' in shown.stdout, shown.stdout
    archive = zipfile.ZipFile(wheel)
    names = archive.namelist()
    bundled = {Path(name).name.split(".so")[0].split("-")[0] for name in names if ".libs/" in name}
    # The engine carries its own Unicode tables: no ICU, and none of its 31 MB of data.
    assert "libcrypto" in bundled and not any(name.startswith("libicu") for name in bundled)
    installed = sum(info.file_size for info in archive.infolist())
    assert wheel.stat().st_size <= 4 * 1024 * 1024 and installed <= 12 * 1024 * 1024


def test_the_wheel_installs_and_decides_where_no_build_tool_is(wheel, tmp_path):
    target = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", target], check=True)
    python = target / "bin" / "python"
    # Nothing of the project's environment is on the way: no build tools, no source tree.
    env = {"PATH": f"{target / 'bin'}:/usr/bin:/bin", "HOME": str(tmp_path)}
    install = [python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", wheel]
    subprocess.run(install, check=True, env=env, cwd=tmp_path)
    request = shutil.copy(ROOT / "examples" / "agent-tool-run" / "request.json", tmp_path)
    decided = subprocess.run(
        [target / "bin" / "ostrel-quorvane", "decide", request],
        capture_output=True, text=True, env=env, cwd=tmp_path,
    )  # fmt: skip
    assert decided.returncode == 0, decided.stderr
    assert "\npermission  ALR\n" in decided.stdout
    # The libraries the extension uses are the wheel's own copies, not the system's.
    maps = subprocess.run(
        [python, "-c", "import _ostrel_quorvane; print(open('/proc/self/maps').read())"],
        capture_output=True, text=True, env=env, cwd=tmp_path, check=True,
    ).stdout  # fmt: skip
    loaded = {
        line.split()[-1] for line in maps.splitlines() if "libicu" in line or "libcrypto" in line
    }
    assert loaded and all(".libs/" in path for path in loaded), loaded


def test_the_source_distribution_holds_what_the_build_needs(tmp_path):
    built = subprocess.run(
        [sys.executable, "-c", "import sys; from scikit_build_core.build import build_sdist; "
         "print(build_sdist(sys.argv[1]))", tmp_path],
        capture_output=True, text=True, cwd=ROOT, timeout=300,
    )  # fmt: skip
    assert built.returncode == 0, built.stderr
    archive = tmp_path / built.stdout.split()[-1]
    with tarfile.open(archive) as sdist:
        members = {Path(*Path(name).parts[1:]).as_posix() for name in sdist.getnames()}
        sdist.extractall(tmp_path / "unpacked", filter="data")
    tracked = subprocess.run(
        ["git", "ls-files", "CMakeLists.txt", "pyproject.toml", "core", "py", "python"],
        capture_output=True, text=True, cwd=ROOT, check=True,
    ).stdout.split()  # fmt: skip
    assert set(tracked) <= members
    # The unpacked tree configures: every source the build names is there.
    source = next((tmp_path / "unpacked").iterdir())
    configured = subprocess.run(
        ["cmake", "-S", source, "-B", tmp_path / "configured", "-DOQ_BUILD_PYTHON=OFF"],
        capture_output=True, text=True,
    )  # fmt: skip
    assert configured.returncode == 0, configured.stderr

"""pip_install_check.py SOURCE_DIR: pip-installs a copy of the tree into a fresh venv and uses it.

The venv sees the system's setuptools, wheel and numpy; no package index is used."""
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

CHECK = r"""
import os, sys
import ophel, ophel.version
assert os.path.dirname(ophel.__file__) == sys.argv[1], ophel.__file__
assert ophel.__version__ == ophel.version.__version__
config = ophel.ModelConfig()
assert config.set_single_core_mode(1) and config.get_num_cores() == 1
for stub in ("ophel/__init__.pyi", "ophel/version.pyi", "ophel/py.typed"):
    assert os.path.isfile(os.path.join(sys.argv[1], stub)), stub
print("ophel", ophel.__version__, "from", ophel.__file__)
"""


def run(*args, **kwargs):
    print("+", " ".join(str(a) for a in args), flush=True)
    subprocess.run([str(a) for a in args], check=True, **kwargs)


def main():
    source = Path(sys.argv[1]).resolve()
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "PIP_", "VIRTUAL_ENV"))}
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    with tempfile.TemporaryDirectory(prefix="ophel-pip-") as temp:
        temp = Path(temp)
        tree = temp / "src"
        shutil.copytree(source, tree, symlinks=True,
                        ignore=shutil.ignore_patterns("build*", ".git", "__pycache__", "*.egg-info", ".pytest_cache"))
        venv = temp / "venv"
        run(sys.executable, "-m", "venv", "--system-site-packages", venv, env=env)
        python = venv / "bin" / "python"
        run(python, "-m", "pip", "install", "--no-build-isolation", "--no-index", tree, env=env)
        site = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"],
                              check=True, capture_output=True, text=True, env=env).stdout.strip()
        # With the source and build trees gone, only the installed copy (and
        # the libkestrane.so beside it) can be found.
        shutil.rmtree(tree)
        run(python, "-c", CHECK, site, cwd=temp, env=env)


if __name__ == "__main__":
    main()

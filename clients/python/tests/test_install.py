"""`pip install clients/python` into a fresh virtual environment, offline:
the package's build backend needs nothing that must be downloaded."""

import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))

try:
    import ensurepip  # noqa: F401  (Debian ships it in python3-venv)
    HAVE_VENV = True
except ImportError:
    HAVE_VENV = False


@unittest.skipUnless(HAVE_VENV, "python3-venv is not installed (scripts/install-deps.sh installs it)")
class OfflineInstallTest(unittest.TestCase):
    def test_installs_into_a_fresh_venv_without_network(self):
        with tempfile.TemporaryDirectory() as d:
            venv = os.path.join(d, "venv")
            subprocess.run([sys.executable, "-m", "venv", venv], check=True)
            env = dict(os.environ, PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1",
                       PIP_NO_CACHE_DIR="1", PYTHONDONTWRITEBYTECODE="1")
            # --no-index: pip may not reach any index, so a build dependency
            # that had to be downloaded would fail the install.
            subprocess.run([os.path.join(venv, "bin", "pip"), "install", "--no-index", "-q",
                            os.path.join(HERE, "..")], check=True, env=env, cwd=d)
            out = subprocess.run(
                [os.path.join(venv, "bin", "python"), "-c",
                 "import ztserver, os; print(ztserver.Reply('A~1~FAILED').ok, "
                 "os.path.exists(os.path.join(os.path.dirname(ztserver.__file__), 'py.typed')))"],
                check=True, env=env, cwd=d, capture_output=True, text=True).stdout
            self.assertEqual(out.split(), ["True", "True"])


if __name__ == "__main__":
    unittest.main()

"""The README's demo script runs as scripts/demo runs it and finds the host reference matched."""
import os
import re
import subprocess
import sys

import ophel
from conftest import ROOT


def test_demo_script(make_model):
    path = make_model(ROOT / "examples" / "demo_model.json")
    run = subprocess.run([sys.executable, str(ROOT / "examples" / "demo.py"), path], capture_output=True, text=True,
                         env=dict(os.environ), timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "results match the host reference" in run.stdout
    assert "4 asynchronous requests on the NPU part: largest difference 0" in run.stdout
    assert "Model Variant #0" in run.stdout
    # The model is shown by its file and the shapes it reports, never as an object address.
    model = ophel.Model(path)
    shown = [f"model {path}"]
    shown += [f"  input {i}:  {shape}" for i, shape in enumerate(model.get_model_input_shape())]
    shown += [f"  output {i}: {shape}" for i, shape in enumerate(model.get_model_output_shape())]
    assert "\n".join(shown) + "\n" in run.stdout, run.stdout
    assert not re.search(r"object at 0x[0-9a-f]+", run.stdout), run.stdout

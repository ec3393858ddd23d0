"""Fixtures of the model tests: model files that zrbgen makes from the test
model descriptions (tests/models/), an accelerator on card 0 of the simulated
card, and models launched on it for one test."""
import json
import os
import subprocess
from pathlib import Path

import numpy as np
import pytest

import ophel

ROOT = Path(__file__).resolve().parents[2]
DESCRIPTIONS = ROOT / "tests" / "models"


def zrbgen_path():
    path = Path(os.environ.get("OPHEL_ZRBGEN", ROOT / "build" / "tools" / "zrbgen"))
    if not path.is_file():
        pytest.skip("zrbgen is not built (set OPHEL_ZRBGEN)")
    return path


def slow(delay_us):
    """An edit of a description: its first program waits delay_us on the card after its work."""
    def edit(description):
        description["bundles"][0]["section_binaries"][0]["program"].append(f"delay {delay_us}")
    edit.__name__ = f"slow{delay_us}"
    return edit


@pytest.fixture(scope="session")
def make_model(tmp_path_factory):
    """make_model(name, edit=None): the path of a model file made from tests/models/<name>.json (or
    from the description file `name` when it is a Path), after edit(description) when given."""
    folder = tmp_path_factory.mktemp("models")
    made = {}

    def make(name, edit=None):
        source = name if isinstance(name, Path) else DESCRIPTIONS / f"{name}.json"
        key = source.stem if edit is None else f"{source.stem}-{edit.__name__}"
        if key not in made:
            description = json.loads(source.read_text())
            if edit is not None:
                edit(description)
            path = folder / f"{key}.zrb"
            subprocess.run([str(zrbgen_path()), "-", str(path)], input=json.dumps(description), text=True,
                           check=True)
            made[key] = str(path)
        return made[key]

    return make


@pytest.fixture(scope="session")
def accelerator():
    return ophel.Accelerator()


def config_of(cores=None, asynchronous=False):
    config = ophel.ModelConfig()
    if cores is not None:
        assert config.set_single_core_mode(cores)
    config.set_async_pipeline_enabled(asynchronous)
    return config


@pytest.fixture
def launch(accelerator, make_model):
    """launch(name, config=None, edit=None): a model launched on card 0, disposed after the test."""
    models = []

    def start(name, config=None, edit=None):
        path = make_model(name, edit)
        model = ophel.Model(path) if config is None else ophel.Model(path, config)
        model.launch(accelerator)
        models.append(model)
        return model

    yield start
    for model in models:
        model.dispose()


def values(shape, dtype=None, seed=0):
    """Whole numbers in int8 range, so the identity model gives them back unchanged."""
    data = np.random.default_rng(seed).integers(-100, 100, size=shape)
    return data.astype(dtype or np.float32)

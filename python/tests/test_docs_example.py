"""The Example of docs/zrbgen.md, read from the page itself, makes a model file that is created,
launched, runs an inference and is summarised; the page's hand-written model description is the
document that the short form writes."""
import json
import re

import numpy as np

import ophel
from conftest import ROOT, values


def page_json(heading):
    page = (ROOT / "docs" / "zrbgen.md").read_text()
    section = page.split(f"\n## {heading}\n", 1)[1].split("\n## ", 1)[0]
    blocks = re.findall(r"^```json\n(.*?)^```$", section, re.S | re.M)
    assert len(blocks) == 1, f"the section {heading} holds one JSON block"
    return json.loads(blocks[0])


def example_description():
    return page_json("Example")


def test_docs_example_runs(make_model, accelerator, tmp_path):
    description = tmp_path / "zrbgen_example.json"
    description.write_text(json.dumps(example_description()))
    path = make_model(description)
    model = ophel.Model(path)
    model.launch(accelerator)
    try:
        item = model.get_model_input_shape()[0][-3:]
        x = values((2,) + item)
        out = np.asarray(model.infer([x])[0])
    finally:
        model.dispose()
    # What the page says the card computes: 2 q + 1 in int8 steps.
    np.testing.assert_array_equal(out, np.clip(2 * x + 1, -128, 127))
    assert out.shape == (2,) + item
    summary = ophel.get_model_summary(path)
    assert path in summary and "Model Variant #0" in summary, summary


def test_hand_written_description_is_what_the_short_form_writes(make_model):
    """The page's demo description, written by hand, makes the same file as the demo's short form."""
    def by_hand(description):
        description["metadata"][0]["payload"] = page_json("The model description document")

    demo = ROOT / "examples" / "demo_model.json"
    with open(make_model(demo), "rb") as short, open(make_model(demo, by_hand), "rb") as hand:
        assert short.read() == hand.read()
